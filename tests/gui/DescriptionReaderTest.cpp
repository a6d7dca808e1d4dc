// SPDX-License-Identifier: MIT
// The stored-description reader against small registered component classes.
#include "gui/DescriptionReader.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace Id {
namespace {

std::vector<std::string>& Log() {
  static std::vector<std::string> L;
  return L;
}

using TFakeEvent = std::function<void(int ACode)>;
using TOtherEvent = std::function<void(const std::string&)>;

class TFakeItem : public TCollectionItem {
public:
  using TCollectionItem::TCollectionItem;
  int Port = 0;
  std::string Host = "0.0.0.0";
};

// A component that defers Active until loading ends, like a server does.
class TFakeServer : public TComponent {
public:
  explicit TFakeServer(TComponent* AOwner) : TComponent(AOwner), Items(this) {}
  ~TFakeServer() override { Log().push_back("free " + Name()); }
  void SetActive(bool AValue) {
    if (IsLoading())
      FActiveRecorded = AValue;
    else if (AValue)
      ActivatedWithPort = Port;
  }
  void Loaded() override {
    Log().push_back("loaded " + Name());
    TComponent::Loaded();
    if (FActiveRecorded) SetActive(true);
  }
  int Port = 0;
  int GreetingCode = -1;
  std::string GreetingText;
  int ActivatedWithPort = -1;
  bool LoadingWhileSet = false;
  TOwnedCollectionOf<TFakeItem> Items;
  TFakeEvent OnExecute;

private:
  bool FActiveRecorded = false;
};

class TFakeSpecialServer : public TFakeServer {
public:
  using TFakeServer::TFakeServer;
  int Extra = 0;
};

class TFailingLoaded : public TComponent {
public:
  using TComponent::TComponent;
  void Loaded() override { throw EConvertError("loaded failed"); }
};

// Only usable as a root: it has no owner constructor.
class TRootOnly : public TComponent {
public:
  TRootOnly() : TComponent(nullptr) {}
};

class TFakeForm : public TComponent {
public:
  TFakeForm() : TComponent(nullptr) {
    Published.PublishField("Server1", Server1);
    Published.PublishField("Wrong1", Wrong1);
    Published.PublishMethod<TFakeEvent>("Server1Execute", [this](int ACode) { Executed = ACode; });
    Published.PublishMethod<TOtherEvent>("OtherMethod", [](const std::string&) {});
  }
  ~TFakeForm() override { DestroyComponents(); }
  void Loaded() override {
    Log().push_back("loaded " + Name());
    TComponent::Loaded();
  }
  void Notification(TComponent* AComponent, TOperation AOperation) override {
    if (AOperation == TOperation::opRemove) Published.ClearReferences(AComponent);
    TComponent::Notification(AComponent, AOperation);
  }
  void Read(const std::string& AText) { ReadDescription(*this, Published, AText, "TFakeForm"); }

  TPublishedTable Published;
  TFakeServer* Server1 = nullptr;   // not owned; cleared on removal notice
  TFailingLoaded* Wrong1 = nullptr; // not owned; cleared on removal notice
  int Left = 0;
  std::string Caption;
  std::string FontName;
  int FontHeight = 0;
  std::vector<std::string> FontStyle{"fsBold"};
  int Color = 0;
  int Executed = -1;
};

void RegisterFakes() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    RegisterComponentClass<TComponent>("TFakeBase");
    RegisterComponentClass<TFakeForm>("TFakeForm", "TFakeBase")
        .Property("Left", [](TFakeForm& F, const TDescValue& V) { F.Left = V.AsInteger(); })
        .Property("Caption", [](TFakeForm& F, const TDescValue& V) { F.Caption = V.AsString(); })
        .Property("Font.Name", [](TFakeForm& F, const TDescValue& V) { F.FontName = V.AsString(); })
        .Property("Font.Height",
                  [](TFakeForm& F, const TDescValue& V) { F.FontHeight = V.AsInteger(); })
        .Property("Font.Style", [](TFakeForm& F, const TDescValue& V) { F.FontStyle = V.AsSet(); })
        .Property("Color", [](TFakeForm& F, const TDescValue& V) {
          F.Color = V.AsEnum({{"clRed", 255}, {"clBtnFace", -15}}, true);
        });
    auto Server = RegisterComponentClass<TFakeServer>("TFakeServer");
    Server
        .Property("Active",
                  [](TFakeServer& S, const TDescValue& V) {
                    S.LoadingWhileSet = S.IsLoading();
                    S.SetActive(V.AsBoolean());
                  })
        .Property("Port", [](TFakeServer& S, const TDescValue& V) { S.Port = V.AsInteger(); })
        .Property("Greeting.NumericCode",
                  [](TFakeServer& S, const TDescValue& V) { S.GreetingCode = V.AsInteger(); })
        .Property("Greeting.Text",
                  [](TFakeServer& S, const TDescValue& V) { S.GreetingText = V.AsString(); })
        .Event<TFakeEvent>("OnExecute",
                           [](TFakeServer& S, TFakeEvent E) { S.OnExecute = std::move(E); });
    Server.Collection<TFakeItem>("Bindings", [](TFakeServer& S) -> TCollection& { return S.Items; })
        .Property("Port", [](TFakeItem& I, const TDescValue& V) { I.Port = V.AsInteger(); })
        .Property("IP", [](TFakeItem& I, const TDescValue& V) { I.Host = V.AsString(); });
    RegisterComponentClass<TFakeSpecialServer>("TFakeSpecialServer", "TFakeServer")
        .Property("Extra",
                  [](TFakeSpecialServer& S, const TDescValue& V) { S.Extra = V.AsInteger(); });
    RegisterComponentClass<TFailingLoaded>("TFailingLoaded");
    RegisterComponentClass<TRootOnly>("TRootOnly");
  });
}

class DescriptionReaderTest : public ::testing::Test {
protected:
  void SetUp() override {
    RegisterFakes();
    Log().clear();
  }
};

// Expects AText to fail reading with EReadError; returns its message.
std::string ReadError(TFakeForm& AForm, const std::string& AText) {
  try {
    AForm.Read(AText);
  } catch (const EReadError& E) {
    return E.Message();
  }
  ADD_FAILURE() << "no EReadError for:\n" << AText;
  return {};
}

std::string ParseError(const std::string& AText) {
  try {
    ParseDescription(AText, "text");
  } catch (const EParserError& E) {
    return E.Message();
  }
  ADD_FAILURE() << "no EParserError for:\n" << AText;
  return {};
}

const char* const FullText = R"(object Main: TFakeForm
  Left = 231
  Caption = 'It''s ' + #70'orm'
    + '1'
  Color = clBtnFace
  Font.Name = 'MS Sans Serif'
  Font.Height = -11
  Font.Style = []
  object Server1: TFakeServer
    Active = True
    Bindings = <
      item
        Port = 100
      end
      item
        IP = '127.0.0.1'
        Port = 101
      end>
    Greeting.NumericCode = 0
    Greeting.Text = 'hi'
    OnExecute = Server1Execute
    Port = 100
  end
end
)";

// ---- Parsing --------------------------------------------------------------------------------

TEST(DescriptionParse, BuildsTheObjectTreeWithLines) {
  const TDescObject Root = ParseDescription(FullText);
  EXPECT_EQ(Root.Name, "Main");
  EXPECT_EQ(Root.ClassName, "TFakeForm");
  ASSERT_EQ(Root.Properties.size(), 6u);
  EXPECT_EQ(Root.Properties[1].Value.AsString(), "It's Form1");
  EXPECT_EQ(Root.Properties[4].Value.AsInteger(), -11);
  EXPECT_TRUE(Root.Properties[5].Value.AsSet().empty());
  ASSERT_EQ(Root.Children.size(), 1u);
  const TDescObject& Server = Root.Children[0];
  EXPECT_EQ(Server.Line, 9);
  EXPECT_EQ(Server.Properties[2].Path, "Greeting.NumericCode");
  const auto& Items = Server.Properties[1].Value.AsItems();
  ASSERT_EQ(Items.size(), 2u);
  EXPECT_EQ(Items[1].Properties[0].Value.AsString(), "127.0.0.1");
  EXPECT_EQ(Items[1].Properties[1].Line, 17);
}

TEST(DescriptionParse, ReadsHexadecimalNumbersSetMembersAndEmptyCollections) {
  const TDescObject Root =
      ParseDescription("object A: T\n X = $FF\n S = [fsBold, fsItalic]\n C = <>\nend");
  EXPECT_EQ(Root.Properties[0].Value.AsInteger(), 255);
  EXPECT_EQ(Root.Properties[1].Value.AsSet(), (std::vector<std::string>{"fsBold", "fsItalic"}));
  EXPECT_TRUE(Root.Properties[2].Value.AsItems().empty());
}

TEST(DescriptionParse, MalformedTextNamesTheLine) {
  EXPECT_EQ(ParseError("object A: T\n  Left 1\nend"),
            "text, line 2: '=' expected but number found");
  EXPECT_EQ(ParseError("object A: T\n  S = 'open\nend"), "text, line 2: Unterminated string");
  EXPECT_EQ(ParseError("object A: T\n  Left = 1\n"),
            "text, line 3: 'end' expected but end of text found");
  EXPECT_EQ(ParseError("object A: T\nend\nend"),
            "text, line 3: End of text expected but 'end' found");
  EXPECT_EQ(ParseError("object A: T\n X = 1.5\nend"), "text, line 2: Invalid number");
  EXPECT_EQ(ParseError("object A: T\n X = 99999999999\nend"),
            "text, line 2: Invalid number '99999999999'");
  EXPECT_EQ(ParseError("object A T\nend"), "text, line 1: ':' expected but 'T' found");
  EXPECT_EQ(ParseError("object A: T\n X = [a,]\nend"),
            "text, line 2: Set member expected but ']' found");
  EXPECT_EQ(ParseError("object A: T\n X = <item Y = 1>\nend"),
            "text, line 2: Property name expected but '>' found");
  EXPECT_EQ(ParseError("object A: T\n X = @\nend"), "text, line 2: Invalid character '@'");
}

TEST(DescriptionParse, PropertiesMustComeBeforeChildObjects) {
  EXPECT_EQ(ParseError("object A: T\n object B: T\n end\n Left = 1\nend"),
            "text, line 4: 'end' expected but 'Left' found");
}

// ---- Reading: components, properties, collections, events -----------------------------------

TEST_F(DescriptionReaderTest, CreatesChildrenOwnedByTheRootAndSetsTheirProperties) {
  TFakeForm Form;
  Form.Read(FullText);
  EXPECT_EQ(Form.Name(), "Main");
  EXPECT_EQ(Form.Left, 231);
  EXPECT_EQ(Form.Caption, "It's Form1");
  EXPECT_EQ(Form.Color, -15);
  EXPECT_EQ(Form.FontName, "MS Sans Serif");
  EXPECT_EQ(Form.FontHeight, -11);
  EXPECT_TRUE(Form.FontStyle.empty());
  ASSERT_EQ(Form.ComponentCount(), 1);
  ASSERT_NE(Form.Server1, nullptr);
  EXPECT_EQ(Form.Components(0), Form.Server1);
  EXPECT_EQ(Form.Server1->Owner(), &Form);
  EXPECT_EQ(Form.Server1->Name(), "Server1");
  EXPECT_EQ(Form.Server1->GreetingCode, 0);
  EXPECT_EQ(Form.Server1->GreetingText, "hi");
  EXPECT_FALSE(Form.IsLoading());
  EXPECT_FALSE(Form.Server1->IsLoading());
}

TEST_F(DescriptionReaderTest, SetsWhileLoadingAndCallsLoadedAfterEverythingInOrder) {
  TFakeForm Form;
  Form.Read(FullText);
  EXPECT_TRUE(Form.Server1->LoadingWhileSet);
  // Active came before Port in the text, yet activation saw the port: it waited for Loaded.
  EXPECT_EQ(Form.Server1->ActivatedWithPort, 100);
  EXPECT_EQ(Log(), (std::vector<std::string>{"loaded Main", "loaded Server1"}));
}

TEST_F(DescriptionReaderTest, CollectionsAreReplacedByTheStoredItems) {
  TFakeForm Form;
  Form.Read(FullText);
  auto& Items = Form.Server1->Items;
  ASSERT_EQ(Items.Count(), 2);
  EXPECT_EQ(Items.Items(0)->Port, 100);
  EXPECT_EQ(Items.Items(0)->Host, "0.0.0.0");
  EXPECT_EQ(Items.Items(1)->Port, 101);
  EXPECT_EQ(Items.Items(1)->Host, "127.0.0.1");
}

TEST_F(DescriptionReaderTest, AnEmptyCollectionClearsTheItemsTheComponentMadeItself) {
  // A class whose constructor adds an item: the stored empty collection wins.
  struct TPrefilled : TFakeServer {
    explicit TPrefilled(TComponent* AOwner) : TFakeServer(AOwner) { Items.Add(); }
  };
  RegisterComponentClass<TPrefilled>("TPrefilledServer", "TFakeServer");
  TFakeForm Form;
  Form.Read("object Main: TFakeForm\n object Server1: TPrefilledServer\n Bindings = <>\n end\nend");
  EXPECT_EQ(Form.Server1->Items.Count(), 0);
}

TEST_F(DescriptionReaderTest, EventsAreBoundToThePublishedMethodsByName) {
  TFakeForm Form;
  Form.Read(FullText);
  ASSERT_TRUE(Form.Server1->OnExecute);
  Form.Server1->OnExecute(7);
  EXPECT_EQ(Form.Executed, 7);
}

TEST_F(DescriptionReaderTest, NamesCompareCaseInsensitively) {
  TFakeForm Form;
  Form.Read("object Main: tfakeform\n LEFT = 5\n object Server1: TFAKESERVER\n"
            " onexecute = SERVER1EXECUTE\n greeting.numericcode = 3\n active = TRUE\n end\nend");
  EXPECT_EQ(Form.Left, 5);
  ASSERT_NE(Form.Server1, nullptr);
  EXPECT_EQ(Form.Server1->GreetingCode, 3);
  EXPECT_TRUE(Form.Server1->OnExecute);
}

TEST_F(DescriptionReaderTest, ADerivedClassInheritsItsParentsStoredProperties) {
  TFakeForm Form;
  Form.Read("object Main: TFakeForm\n object Server1: TFakeSpecialServer\n Extra = 4\n"
            " Port = 9\n end\nend");
  auto* Special = dynamic_cast<TFakeSpecialServer*>(Form.Server1);
  ASSERT_NE(Special, nullptr);
  EXPECT_EQ(Special->Extra, 4);
  EXPECT_EQ(Special->Port, 9);
}

TEST_F(DescriptionReaderTest, FreeingAChildClearsThePublishedField) {
  TFakeForm Form;
  Form.Read(FullText);
  delete Form.Server1;
  EXPECT_EQ(Form.Server1, nullptr);
  EXPECT_EQ(Form.ComponentCount(), 0);
}

TEST_F(DescriptionReaderTest, AChildWithoutAFieldIsStillCreated) {
  TFakeForm Form;
  Form.Read("object Main: TFakeForm\n object Unnamed7: TFakeServer\n end\nend");
  EXPECT_EQ(Form.Server1, nullptr);
  ASSERT_EQ(Form.ComponentCount(), 1);
  EXPECT_EQ(Form.Components(0)->Name(), "Unnamed7");
}

// ---- Reading: errors ------------------------------------------------------------------------

TEST_F(DescriptionReaderTest, UnknownClassIsAnErrorNamingTheLine) {
  TFakeForm Form;
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n object X: TNoSuchClass\n end\nend"),
            "TFakeForm, line 2: Class TNoSuchClass not found");
}

TEST_F(DescriptionReaderTest, UnknownPropertyIsAnError) {
  TFakeForm Form;
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n object Server1: TFakeServer\n"
                            "  Greeting.Code = 1\n end\nend"),
            "TFakeForm, line 3: Property Server1.Greeting.Code does not exist");
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n Top = 1\nend"),
            "TFakeForm, line 2: Property Main.Top does not exist");
}

TEST_F(DescriptionReaderTest, UnknownItemPropertyIsAnError) {
  TFakeForm Form;
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n object Server1: TFakeServer\n"
                            "  Bindings = <\n item\n Prot = 1\n end>\n end\nend"),
            "TFakeForm, line 5: Property Server1.Bindings.Prot does not exist");
}

TEST_F(DescriptionReaderTest, ValuesOfTheWrongKindAreErrors) {
  TFakeForm Form;
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n Left = '231'\nend"),
            "TFakeForm, line 2: Main.Left: Invalid property value");
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n Color = clPink\nend"),
            "TFakeForm, line 2: Main.Color: Invalid property value");
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n object Server1: TFakeServer\n"
                            "  Active = Yes\n end\nend"),
            "TFakeForm, line 3: Server1.Active: Invalid property value");
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n object Server1: TFakeServer\n"
                            "  Bindings = 1\n end\nend"),
            "TFakeForm, line 3: Server1.Bindings: Invalid property value");
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n object Server1: TFakeServer\n"
                            "  OnExecute = 'Server1Execute'\n end\nend"),
            "TFakeForm, line 3: Server1.OnExecute: Invalid property value");
}

TEST_F(DescriptionReaderTest, UnknownMethodIsAnError) {
  TFakeForm Form;
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n object Server1: TFakeServer\n"
                            "  OnExecute = Server1Exec\n end\nend"),
            "TFakeForm, line 3: Server1.OnExecute: Method Server1Exec not found in Main");
}

TEST_F(DescriptionReaderTest, MethodOfAnotherEventTypeIsAnError) {
  TFakeForm Form;
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n object Server1: TFakeServer\n"
                            "  OnExecute = OtherMethod\n end\nend"),
            "TFakeForm, line 3: Server1.OnExecute: Method OtherMethod does not fit the event");
}

TEST_F(DescriptionReaderTest, RootOfAnotherClassIsAnError) {
  TFakeForm Form;
  EXPECT_EQ(ReadError(Form, "object Main: TFakeServer\nend"),
            "TFakeForm, line 1: The root component is not a TFakeServer");
}

TEST_F(DescriptionReaderTest, ChildOfAClassThatCannotBeCreatedIsAnError) {
  TFakeForm Form;
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n object R: TRootOnly\n end\nend"),
            "TFakeForm, line 2: Class TRootOnly cannot be created here");
}

TEST_F(DescriptionReaderTest, FieldOfAnotherClassIsAnError) {
  TFakeForm Form;
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n object Wrong1: TFakeServer\n end\nend"),
            "TFakeForm, line 2: Field Wrong1 does not fit class TFakeServer");
}

TEST_F(DescriptionReaderTest, DuplicateComponentNameIsAnError) {
  TFakeForm Form;
  EXPECT_EQ(ReadError(Form, "object Main: TFakeForm\n object S: TFakeServer\n end\n"
                            " object S: TFakeServer\n end\nend"),
            "TFakeForm, line 4: A component named S already exists");
}

TEST_F(DescriptionReaderTest, AFailedReadFreesWhatItCreatedAndLoadsNothing) {
  TFakeForm Form;
  ReadError(Form, "object Main: TFakeForm\n object Server1: TFakeServer\n Active = True\n end\n"
                  " object Other: TFakeServer\n Nope = 1\n end\nend");
  EXPECT_EQ(Form.ComponentCount(), 0);
  EXPECT_EQ(Form.Server1, nullptr);
  EXPECT_FALSE(Form.IsLoading());
  EXPECT_EQ(Log(), (std::vector<std::string>{"free Other", "free Server1"}));
}

TEST_F(DescriptionReaderTest, AnExceptionFromLoadedPassesThroughUnchanged) {
  TFakeForm Form;
  EXPECT_THROW(Form.Read("object Main: TFakeForm\n object F: TFailingLoaded\n end\nend"),
               EConvertError);
  EXPECT_EQ(Form.ComponentCount(), 1);
}

} // namespace
} // namespace Id
