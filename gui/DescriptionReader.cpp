// SPDX-License-Identifier: MIT
#include "gui/DescriptionReader.h"

#include "idframework/runtime/CriticalSection.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>

namespace Id {

namespace {

constexpr const char* SInvalidPropertyValue = "Invalid property value";

std::string LineMessage(const std::string& ASource, int ALine, const std::string& AWhat) {
  return Format("%s, line %d: %s", {ASource, int64_t(ALine), AWhat});
}

// ---- Tokens ---------------------------------------------------------------------------------

enum class TTokenKind { tkEnd, tkIdent, tkInteger, tkString, tkSymbol };

struct TToken {
  TTokenKind Kind = TTokenKind::tkEnd;
  std::string Text; // identifier, string contents or the symbol character
  int64_t Integer = 0;
  int Line = 1;
};

std::string Describe(const TToken& T) {
  switch (T.Kind) {
  case TTokenKind::tkEnd:
    return "end of text";
  case TTokenKind::tkString:
    return "string";
  case TTokenKind::tkInteger:
    return "number";
  default:
    return "'" + T.Text + "'";
  }
}

bool IsIdentStart(char C) {
  return std::isalpha(static_cast<unsigned char>(C)) || C == '_';
}
bool IsIdentChar(char C) {
  return std::isalnum(static_cast<unsigned char>(C)) || C == '_';
}
bool IsDigit(char C) {
  return std::isdigit(static_cast<unsigned char>(C)) != 0;
}

// Splits the text into tokens, tracking lines. Strings joined with '+' become one token.
class TTokenizer {
public:
  TTokenizer(std::string_view AText, const std::string& ASource) : FText(AText), FSource(ASource) {}

  TToken Next() {
    SkipBlanks();
    TToken T;
    T.Line = FLine;
    if (FPos >= FText.size()) return T;
    const char C = FText[FPos];
    if (IsIdentStart(C)) return Ident(T);
    if (IsDigit(C) || C == '-' || C == '$') return Number(T);
    if (C == '\'' || C == '#') return StringToken(T);
    if (std::string_view("=:[]<>,.()+").find(C) != std::string_view::npos) {
      ++FPos;
      T.Kind = TTokenKind::tkSymbol;
      T.Text = std::string(1, C);
      return T;
    }
    Fail(FLine, Format("Invalid character '%s'", {std::string(1, C)}));
  }

  [[noreturn]] void Fail(int ALine, const std::string& AWhat) const {
    throw EParserError(LineMessage(FSource, ALine, AWhat));
  }

private:
  void SkipBlanks() {
    while (FPos < FText.size() && static_cast<unsigned char>(FText[FPos]) <= ' ') {
      if (FText[FPos] == '\n') ++FLine;
      ++FPos;
    }
  }

  TToken Ident(TToken& T) {
    const size_t Start = FPos;
    while (FPos < FText.size() && IsIdentChar(FText[FPos]))
      ++FPos;
    T.Kind = TTokenKind::tkIdent;
    T.Text = std::string(FText.substr(Start, FPos - Start));
    return T;
  }

  TToken Number(TToken& T) {
    const size_t Start = FPos;
    if (FText[FPos] == '-') ++FPos;
    if (FPos < FText.size() && FText[FPos] == '$') ++FPos;
    while (FPos < FText.size() && std::isxdigit(static_cast<unsigned char>(FText[FPos])))
      ++FPos;
    if (FPos < FText.size() && (FText[FPos] == '.' || IsIdentChar(FText[FPos])))
      Fail(FLine, "Invalid number");
    const std::string Text(FText.substr(Start, FPos - Start));
    int32_t Value = 0;
    if (!TryStrToInt(Text, Value)) Fail(FLine, Format("Invalid number '%s'", {Text}));
    T.Kind = TTokenKind::tkInteger;
    T.Text = Text;
    T.Integer = Value;
    return T;
  }

  // 'quoted' and #nn pieces, adjacent or joined with '+' (also across lines).
  TToken StringToken(TToken& T) {
    T.Kind = TTokenKind::tkString;
    for (;;) {
      if (FPos < FText.size() && FText[FPos] == '\'')
        QuotedPiece(T.Text);
      else if (FPos < FText.size() && FText[FPos] == '#')
        CharCode(T.Text);
      else if (!JoinPlus())
        return T;
    }
  }

  bool JoinPlus() {
    const size_t SavedPos = FPos;
    const int SavedLine = FLine;
    SkipBlanks();
    if (FPos < FText.size() && FText[FPos] == '+') {
      ++FPos;
      SkipBlanks();
      if (FPos < FText.size() && (FText[FPos] == '\'' || FText[FPos] == '#')) return true;
      Fail(FLine, "String expected after '+'");
    }
    FPos = SavedPos;
    FLine = SavedLine;
    return false;
  }

  void QuotedPiece(std::string& AOut) {
    const int StartLine = FLine;
    ++FPos;
    for (;;) {
      if (FPos >= FText.size() || FText[FPos] == '\n' || FText[FPos] == '\r')
        Fail(StartLine, "Unterminated string");
      const char C = FText[FPos++];
      if (C != '\'') {
        AOut += C;
      } else if (FPos < FText.size() && FText[FPos] == '\'') {
        AOut += '\'';
        ++FPos;
      } else {
        return;
      }
    }
  }

  void CharCode(std::string& AOut) {
    ++FPos;
    const size_t Start = FPos;
    while (FPos < FText.size() && IsDigit(FText[FPos]))
      ++FPos;
    int32_t Code = -1;
    if (!TryStrToInt(std::string(FText.substr(Start, FPos - Start)), Code) || Code < 0 ||
        Code > 255)
      Fail(FLine, "Invalid character code");
    AOut += static_cast<char>(Code);
  }

  std::string_view FText;
  const std::string& FSource;
  size_t FPos = 0;
  int FLine = 1;
};

// ---- Parser ---------------------------------------------------------------------------------

class TParser {
public:
  TParser(std::string_view AText, const std::string& ASource) : FTokens(AText, ASource) {
    Advance();
  }

  TDescObject ParseRoot() {
    TDescObject Root = ParseObject();
    if (FToken.Kind != TTokenKind::tkEnd)
      Fail("End of text expected but " + Describe(FToken) + " found");
    return Root;
  }

private:
  void Advance() { FToken = FTokens.Next(); }
  [[noreturn]] void Fail(const std::string& AWhat) const { FTokens.Fail(FToken.Line, AWhat); }
  bool IsKeyword(const char* AWord) const {
    return FToken.Kind == TTokenKind::tkIdent && SameText(FToken.Text, AWord);
  }
  bool IsSymbol(char C) const { return FToken.Kind == TTokenKind::tkSymbol && FToken.Text[0] == C; }
  void ExpectSymbol(char C) {
    if (!IsSymbol(C))
      Fail(Format("'%s' expected but %s found", {std::string(1, C), Describe(FToken)}));
    Advance();
  }
  std::string ExpectIdent(const char* AWhat) {
    if (FToken.Kind != TTokenKind::tkIdent)
      Fail(Format("%s expected but %s found", {std::string(AWhat), Describe(FToken)}));
    std::string Text = FToken.Text;
    Advance();
    return Text;
  }

  TDescObject ParseObject() {
    TDescObject Object;
    Object.Line = FToken.Line;
    if (!IsKeyword("object")) Fail("'object' expected but " + Describe(FToken) + " found");
    Advance();
    Object.Name = ExpectIdent("Component name");
    ExpectSymbol(':');
    Object.ClassName = ExpectIdent("Class name");
    while (!IsKeyword("end") && !IsKeyword("object")) {
      if (FToken.Kind == TTokenKind::tkEnd) break;
      Object.Properties.push_back(ParseProperty());
    }
    while (IsKeyword("object"))
      Object.Children.push_back(ParseObject());
    if (!IsKeyword("end")) Fail("'end' expected but " + Describe(FToken) + " found");
    Advance();
    return Object;
  }

  TDescProperty ParseProperty() {
    TDescProperty Property;
    Property.Line = FToken.Line;
    Property.Path = ExpectIdent("Property name");
    while (IsSymbol('.')) {
      Advance();
      Property.Path += '.';
      Property.Path += ExpectIdent("Property name");
    }
    ExpectSymbol('=');
    Property.Value = ParseValue();
    return Property;
  }

  TDescValue ParseValue() {
    const int Line = FToken.Line;
    switch (FToken.Kind) {
    case TTokenKind::tkInteger: {
      const int64_t Value = FToken.Integer;
      Advance();
      return TDescValue::Integer(Value, Line);
    }
    case TTokenKind::tkString: {
      std::string Text = FToken.Text;
      Advance();
      return TDescValue::String(std::move(Text), Line);
    }
    case TTokenKind::tkIdent:
      return TDescValue::Ident(ExpectIdent("Value"), Line);
    default:
      break;
    }
    if (IsSymbol('[')) return ParseSet();
    if (IsSymbol('<')) return ParseCollection();
    Fail("Value expected but " + Describe(FToken) + " found");
  }

  TDescValue ParseSet() {
    const int Line = FToken.Line;
    Advance();
    std::vector<std::string> Members;
    if (!IsSymbol(']')) {
      Members.push_back(ExpectIdent("Set member"));
      while (IsSymbol(',')) {
        Advance();
        Members.push_back(ExpectIdent("Set member"));
      }
    }
    ExpectSymbol(']');
    return TDescValue::Set(std::move(Members), Line);
  }

  TDescValue ParseCollection() {
    const int Line = FToken.Line;
    Advance();
    std::vector<TDescItem> Items;
    while (IsKeyword("item")) {
      TDescItem Item;
      Item.Line = FToken.Line;
      Advance();
      while (!IsKeyword("end")) {
        if (FToken.Kind == TTokenKind::tkEnd) Fail("'end' expected but end of text found");
        Item.Properties.push_back(ParseProperty());
      }
      Advance();
      Items.push_back(std::move(Item));
    }
    ExpectSymbol('>');
    return TDescValue::Collection(std::move(Items), Line);
  }

  TTokenizer FTokens;
  TToken FToken;
};

// ---- Registry -------------------------------------------------------------------------------

struct TRegistry {
  TMutex Lock;
  // Upper-case name -> latest entry.
  std::map<std::string, TComponentClassInfo*> ByName ID_GUARDED_BY(Lock);
  std::vector<std::unique_ptr<TComponentClassInfo>>
      All ID_GUARDED_BY(Lock); // for the process's life
};

TRegistry& Registry() {
  static TRegistry* R = new TRegistry; // never destroyed: readers may run during static teardown
  return *R;
}

template <class V>
const V* FindByName(const std::vector<std::pair<std::string, V>>& AList, const std::string& AName) {
  for (const auto& Entry : AList)
    if (SameText(Entry.first, AName)) return &Entry.second;
  return nullptr;
}

template <class V>
void PutByName(std::vector<std::pair<std::string, V>>& AList, const std::string& AName, V AValue) {
  for (auto& Entry : AList)
    if (SameText(Entry.first, AName)) {
      Entry.second = std::move(AValue);
      return;
    }
  AList.emplace_back(AName, std::move(AValue));
}

} // namespace

// ---- TDescValue -----------------------------------------------------------------------------

TDescValue TDescValue::Integer(int64_t AValue, int ALine) {
  TDescValue V;
  V.FKind = TKind::vkInteger;
  V.FInteger = AValue;
  V.FLine = ALine;
  return V;
}

TDescValue TDescValue::String(std::string AValue, int ALine) {
  TDescValue V;
  V.FKind = TKind::vkString;
  V.FText = std::move(AValue);
  V.FLine = ALine;
  return V;
}

TDescValue TDescValue::Ident(std::string AValue, int ALine) {
  TDescValue V = String(std::move(AValue), ALine);
  V.FKind = TKind::vkIdent;
  return V;
}

TDescValue TDescValue::Set(std::vector<std::string> AMembers, int ALine) {
  TDescValue V;
  V.FKind = TKind::vkSet;
  V.FMembers = std::move(AMembers);
  V.FLine = ALine;
  return V;
}

TDescValue TDescValue::Collection(std::vector<TDescItem> AItems, int ALine) {
  TDescValue V;
  V.FKind = TKind::vkCollection;
  V.FItems = std::make_shared<std::vector<TDescItem>>(std::move(AItems));
  V.FLine = ALine;
  return V;
}

int32_t TDescValue::AsInteger() const {
  if (FKind != TKind::vkInteger || FInteger < std::numeric_limits<int32_t>::min() ||
      FInteger > std::numeric_limits<int32_t>::max())
    throw EReadError(SInvalidPropertyValue);
  return static_cast<int32_t>(FInteger);
}

const std::string& TDescValue::AsString() const {
  if (FKind != TKind::vkString) throw EReadError(SInvalidPropertyValue);
  return FText;
}

bool TDescValue::AsBoolean() const {
  if (FKind == TKind::vkIdent && SameText(FText, "True")) return true;
  if (FKind == TKind::vkIdent && SameText(FText, "False")) return false;
  throw EReadError(SInvalidPropertyValue);
}

const std::string& TDescValue::AsIdent() const {
  if (FKind != TKind::vkIdent) throw EReadError(SInvalidPropertyValue);
  return FText;
}

const std::vector<std::string>& TDescValue::AsSet() const {
  if (FKind != TKind::vkSet) throw EReadError(SInvalidPropertyValue);
  return FMembers;
}

const std::vector<TDescItem>& TDescValue::AsItems() const {
  if (FKind != TKind::vkCollection) throw EReadError(SInvalidPropertyValue);
  return *FItems;
}

int32_t TDescValue::AsEnum(const std::vector<std::pair<std::string, int32_t>>& ATable,
                           bool AAllowInteger) const {
  if (AAllowInteger && FKind == TKind::vkInteger) return AsInteger();
  if (FKind == TKind::vkIdent)
    if (const int32_t* Value = FindByName(ATable, FText)) return *Value;
  throw EReadError(SInvalidPropertyValue);
}

TDescObject ParseDescription(std::string_view AText, const std::string& ASource) {
  return TParser(AText, ASource).ParseRoot();
}

// ---- TPublishedTable ------------------------------------------------------------------------

void TPublishedTable::AddField(const std::string& AName, std::function<bool(TComponent*)> AAssign,
                               std::function<void(TComponent*)> AClear) {
  FFields.push_back({AName, std::move(AAssign), std::move(AClear)});
}

void TPublishedTable::AddMethod(const std::string& AName, std::any AMethod) {
  for (TMethod& M : FMethods)
    if (SameText(M.Name, AName)) {
      M.Method = std::move(AMethod);
      return;
    }
  FMethods.push_back({AName, std::move(AMethod)});
}

const std::any* TPublishedTable::FindMethod(const std::string& AName) const {
  for (const TMethod& M : FMethods)
    if (SameText(M.Name, AName)) return &M.Method;
  return nullptr;
}

TPublishedTable::TFieldResult TPublishedTable::AssignField(const std::string& AName,
                                                           TComponent* AComponent) {
  for (TField& F : FFields)
    if (SameText(F.Name, AName))
      return F.Assign(AComponent) ? TFieldResult::frAssigned : TFieldResult::frWrongClass;
  return TFieldResult::frNoField;
}

void TPublishedTable::ClearReferences(TComponent* AComponent) {
  for (TField& F : FFields)
    F.Clear(AComponent);
}

// ---- Class infos ----------------------------------------------------------------------------

void TDescCollectionInfo::AddItemProperty(const std::string& APath, TDescItemSetter ASetter) {
  PutByName(FItemProperties, APath, std::move(ASetter));
}

const TDescItemSetter* TDescCollectionInfo::FindItemProperty(const std::string& APath) const {
  return FindByName(FItemProperties, APath);
}

TComponentClassInfo::TComponentClassInfo(std::string AClassName, std::string AParentName,
                                         TFactory AFactory, TInstanceTest AIsInstance)
    : FClassName(std::move(AClassName)), FParentName(std::move(AParentName)),
      FFactory(std::move(AFactory)), FIsInstance(std::move(AIsInstance)) {}

TComponent* TComponentClassInfo::Create(TComponent* AOwner) const {
  if (!FFactory) throw EReadError(Format("Class %s cannot be created here", {FClassName}));
  return FFactory(AOwner);
}

void TComponentClassInfo::AddProperty(const std::string& APath, TDescSetter ASetter) {
  PutByName(FProperties, APath, std::move(ASetter));
}

TDescCollectionInfo& TComponentClassInfo::AddCollection(const std::string& APath,
                                                        TDescCollectionInfo::TGetter AGet) {
  auto Info = std::make_unique<TDescCollectionInfo>(std::move(AGet));
  TDescCollectionInfo& Result = *Info;
  PutByName(FCollections, APath, std::move(Info));
  return Result;
}

void TComponentClassInfo::AddEvent(const std::string& APath, TDescEventBinder ABinder) {
  PutByName(FEvents, APath, std::move(ABinder));
}

const TDescSetter* TComponentClassInfo::FindProperty(const std::string& APath) const {
  return FindByName(FProperties, APath);
}

const TDescCollectionInfo* TComponentClassInfo::FindCollection(const std::string& APath) const {
  const auto* Found = FindByName(FCollections, APath);
  return Found ? Found->get() : nullptr;
}

const TDescEventBinder* TComponentClassInfo::FindEvent(const std::string& APath) const {
  return FindByName(FEvents, APath);
}

TComponentClassInfo& RegisterComponentClassInfo(std::unique_ptr<TComponentClassInfo> AInfo) {
  TRegistry& R = Registry();
  TLockGuard<TMutex> Guard(R.Lock);
  TComponentClassInfo& Result = *AInfo;
  R.ByName[UpperCase(Result.ClassName())] = &Result;
  R.All.push_back(std::move(AInfo));
  return Result;
}

const TComponentClassInfo* FindComponentClass(const std::string& AClassName) {
  TRegistry& R = Registry();
  TLockGuard<TMutex> Guard(R.Lock);
  auto It = R.ByName.find(UpperCase(AClassName));
  return It == R.ByName.end() ? nullptr : It->second;
}

// ---- Reader ---------------------------------------------------------------------------------

namespace {

// One read of a description into a root; frees what it created when the read fails.
class TReader {
public:
  TReader(TComponent& ARoot, TPublishedTable& APublished, const std::string& ASource)
      : FRoot(ARoot), FPublished(APublished), FSource(ASource) {}

  void Read(const TDescObject& ARootObject) {
    FRoot.SetComponentStateFlag(csLoading, true);
    FLoaded.push_back(&FRoot);
    try {
      ReadRoot(ARootObject);
      for (const TDescObject& Child : ARootObject.Children)
        ReadChild(Child);
    } catch (...) {
      Undo();
      throw;
    }
    // Loaded() may act on deferred properties and raise; those errors are the components' own.
    for (TComponent* C : FLoaded)
      C->Loaded();
  }

private:
  [[noreturn]] void Fail(int ALine, const std::string& AWhat) const {
    throw EReadError(LineMessage(FSource, ALine, AWhat));
  }

  const TComponentClassInfo& FindClass(const std::string& AName, int ALine) const {
    const TComponentClassInfo* Info = FindComponentClass(AName);
    if (!Info) Fail(ALine, Format("Class %s not found", {AName}));
    return *Info;
  }

  void ReadRoot(const TDescObject& AObject) {
    const TComponentClassInfo& Info = FindClass(AObject.ClassName, AObject.Line);
    if (!Info.IsInstance(FRoot))
      Fail(AObject.Line, Format("The root component is not a %s", {AObject.ClassName}));
    FRoot.SetName(AObject.Name);
    ReadProperties(FRoot, Info, AObject);
  }

  void ReadChild(const TDescObject& AObject) {
    const TComponentClassInfo& Info = FindClass(AObject.ClassName, AObject.Line);
    if (!Info.CanCreate())
      Fail(AObject.Line, Format("Class %s cannot be created here", {AObject.ClassName}));
    if (FRoot.FindComponent(AObject.Name))
      Fail(AObject.Line, Format("A component named %s already exists", {AObject.Name}));
    TComponent* Child = Info.Create(&FRoot);
    FCreated.push_back(Child);
    FLoaded.push_back(Child);
    Child->SetComponentStateFlag(csLoading, true);
    Child->SetName(AObject.Name);
    BindField(*Child, AObject);
    ReadProperties(*Child, Info, AObject);
    // Nested objects belong to the root as well, as on a form.
    for (const TDescObject& Grandchild : AObject.Children)
      ReadChild(Grandchild);
  }

  void BindField(TComponent& AChild, const TDescObject& AObject) {
    if (FPublished.AssignField(AObject.Name, &AChild) ==
        TPublishedTable::TFieldResult::frWrongClass)
      Fail(AObject.Line,
           Format("Field %s does not fit class %s", {AObject.Name, AObject.ClassName}));
  }

  void ReadProperties(TComponent& AComponent, const TComponentClassInfo& AInfo,
                      const TDescObject& AObject) {
    AComponent.SetComponentStateFlag(csReading, true);
    for (const TDescProperty& P : AObject.Properties)
      SetProperty(AComponent, AInfo, P);
    AComponent.SetComponentStateFlag(csReading, false);
  }

  void SetProperty(TComponent& AComponent, const TComponentClassInfo& AInfo,
                   const TDescProperty& AProperty) {
    const std::string Where = AComponent.Name() + "." + AProperty.Path;
    for (const TComponentClassInfo* Info = &AInfo; Info; Info = ParentOf(*Info, AProperty.Line)) {
      if (const TDescEventBinder* Event = Info->FindEvent(AProperty.Path))
        return BindEvent(AComponent, *Event, AProperty, Where);
      if (const TDescCollectionInfo* Coll = Info->FindCollection(AProperty.Path))
        return ReadCollection(AComponent, *Coll, AProperty, Where);
      if (const TDescSetter* Setter = Info->FindProperty(AProperty.Path))
        return Guarded(AProperty.Line, Where, [&] { (*Setter)(AComponent, AProperty.Value); });
    }
    Fail(AProperty.Line, Format("Property %s does not exist", {Where}));
  }

  const TComponentClassInfo* ParentOf(const TComponentClassInfo& AInfo, int ALine) const {
    if (AInfo.ParentName().empty()) return nullptr;
    return &FindClass(AInfo.ParentName(), ALine);
  }

  // Conversion errors of a setter become read errors that name the property and the line.
  template <class F> void Guarded(int ALine, const std::string& AWhere, F AAction) {
    try {
      AAction();
    } catch (const EReadError& E) {
      Fail(ALine, AWhere + ": " + E.Message());
    } catch (const EConvertError& E) {
      Fail(ALine, AWhere + ": " + E.Message());
    }
  }

  void BindEvent(TComponent& AComponent, const TDescEventBinder& ABinder,
                 const TDescProperty& AProperty, const std::string& AWhere) {
    if (AProperty.Value.Kind() != TDescValue::TKind::vkIdent)
      Fail(AProperty.Line, AWhere + ": " + SInvalidPropertyValue);
    const std::string& MethodName = AProperty.Value.AsIdent();
    const std::any* Method = FPublished.FindMethod(MethodName);
    if (!Method)
      Fail(AProperty.Line,
           Format("%s: Method %s not found in %s", {AWhere, MethodName, FRoot.Name()}));
    bool Bound = false;
    Guarded(AProperty.Line, AWhere, [&] { Bound = ABinder(AComponent, *Method); });
    if (!Bound)
      Fail(AProperty.Line, Format("%s: Method %s does not fit the event", {AWhere, MethodName}));
  }

  void ReadCollection(TComponent& AComponent, const TDescCollectionInfo& AInfo,
                      const TDescProperty& AProperty, const std::string& AWhere) {
    if (AProperty.Value.Kind() != TDescValue::TKind::vkCollection)
      Fail(AProperty.Line, AWhere + ": " + SInvalidPropertyValue);
    const std::vector<TDescItem>& Items = AProperty.Value.AsItems();
    TCollection& Target = AInfo.Get(AComponent);
    Target.Clear();
    for (const TDescItem& Item : Items) {
      TCollectionItem& NewItem = *Target.Add();
      for (const TDescProperty& P : Item.Properties) {
        const std::string Where = AComponent.Name() + "." + AProperty.Path + "." + P.Path;
        const TDescItemSetter* Setter = AInfo.FindItemProperty(P.Path);
        if (!Setter) Fail(P.Line, Format("Property %s does not exist", {Where}));
        Guarded(P.Line, Where, [&] { (*Setter)(NewItem, P.Value); });
      }
    }
  }

  void Undo() {
    for (auto It = FCreated.rbegin(); It != FCreated.rend(); ++It)
      delete *It;
    FRoot.SetComponentStateFlag(csReading, false);
    FRoot.SetComponentStateFlag(csLoading, false);
  }

  TComponent& FRoot;
  TPublishedTable& FPublished;
  const std::string& FSource;
  std::vector<TComponent*> FCreated; // owned by FRoot; freed here only when the read fails
  std::vector<TComponent*> FLoaded;  // root first, then children in creation order
};

} // namespace

void ReadDescription(TComponent& ARoot, TPublishedTable& APublished, std::string_view AText,
                     const std::string& ASource) {
  const TDescObject RootObject = ParseDescription(AText, ASource);
  TReader(ARoot, APublished, ASource).Read(RootObject);
}

} // namespace Id
