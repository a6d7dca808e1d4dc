// The main form: its compiled-in description, the server it configures and the handler.
#include "app/Unit1.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/IdRFCReply.h"
#include "net/IdSocketHandle.h"
#include "server/IdCommandHandlers.h"
#include "server/IdTCPServer.h"

namespace Id {
namespace {

// "Path = value" for every stored property, in order, with child objects' names as prefixes.
std::string Render(const TDescValue& AValue) {
  switch (AValue.Kind()) {
  case TDescValue::TKind::vkInteger:
    return IntToStr(AValue.AsInteger());
  case TDescValue::TKind::vkString:
    return "'" + AValue.AsString() + "'";
  case TDescValue::TKind::vkIdent:
    return AValue.AsIdent();
  case TDescValue::TKind::vkSet:
    return AValue.AsSet().empty() ? "[]" : "[...]";
  case TDescValue::TKind::vkCollection:
    break;
  }
  std::string Text = "<";
  for (const TDescItem& Item : AValue.AsItems()) {
    Text += " item";
    for (const TDescProperty& P : Item.Properties)
      Text += " " + P.Path + "=" + Render(P.Value);
    Text += " end";
  }
  return Text + ">";
}

std::vector<std::string> Flatten(const TDescObject& AObject, const std::string& APrefix = "") {
  std::vector<std::string> Lines{APrefix + "object " + AObject.Name + ": " + AObject.ClassName};
  for (const TDescProperty& P : AObject.Properties)
    Lines.push_back(APrefix + P.Path + " = " + Render(P.Value));
  for (const TDescObject& Child : AObject.Children)
    for (const std::string& Line : Flatten(Child, AObject.Name + "."))
      Lines.push_back(APrefix + Line);
  return Lines;
}

TEST(Form1Description, HoldsExactlyTheStoredValuesOfTheFormAndTheServer) {
  const std::vector<std::string> Expected = {
      "object Form1: TForm1",
      "Left = 231",
      "Top = 109",
      "Width = 171",
      "Height = 175",
      "Caption = 'Form1'",
      "Color = clBtnFace",
      "Font.Charset = DEFAULT_CHARSET",
      "Font.Color = clWindowText",
      "Font.Height = -11",
      "Font.Name = 'MS Sans Serif'",
      "Font.Style = []",
      "OldCreateOrder = False",
      "PixelsPerInch = 96",
      "TextHeight = 13",
      "Form1.object IdTCPServer1: TIdTCPServer",
      "Form1.Active = True",
      "Form1.Bindings = < item Port=100 end>",
      "Form1.CommandHandlers = <>",
      "Form1.DefaultPort = 100",
      "Form1.Greeting.NumericCode = 0",
      "Form1.MaxConnectionReply.NumericCode = 0",
      "Form1.OnExecute = IdTCPServer1Execute",
      "Form1.ReplyExceptionCode = 0",
      "Form1.ReplyTexts = <>",
      "Form1.ReplyUnknownCommand.NumericCode = 0",
  };
  EXPECT_EQ(Flatten(ParseDescription(TForm1Description())), Expected);
}

// A form read as in a designer: the stored Active is only recorded, so nothing binds port 100.
class Form1Designed : public testing::Test {
protected:
  void SetUp() override {
    FDesigner.SetComponentStateFlag(csDesigning, true);
    FForm = new TForm1(&FDesigner);
  }
  TComponent FDesigner{nullptr};
  TForm1* FForm = nullptr; // owned by FDesigner
};

TEST_F(Form1Designed, TheWindowPropertiesComeFromTheDescription) {
  EXPECT_EQ(FForm->Name(), "Form1");
  EXPECT_EQ(FForm->Left(), 231);
  EXPECT_EQ(FForm->Top(), 109);
  EXPECT_EQ(FForm->Width(), 171);
  EXPECT_EQ(FForm->Height(), 175);
  EXPECT_EQ(FForm->Caption(), "Form1");
  EXPECT_EQ(FForm->Color(), clBtnFace);
  EXPECT_EQ(FForm->Font().Charset, DEFAULT_CHARSET);
  EXPECT_EQ(FForm->Font().Color, clWindowText);
  EXPECT_EQ(FForm->Font().Height, -11);
  EXPECT_EQ(FForm->Font().Name, "MS Sans Serif");
  EXPECT_EQ(FForm->Font().Style, 0u);
  EXPECT_FALSE(FForm->OldCreateOrder());
  EXPECT_EQ(FForm->PixelsPerInch(), 96);
  EXPECT_EQ(FForm->TextHeight(), 13);
}

TEST_F(Form1Designed, TheServerIsCreatedOwnedAndConfigured) {
  TIdTCPServer* Server = FForm->IdTCPServer1;
  ASSERT_NE(Server, nullptr);
  EXPECT_EQ(Server->Owner(), FForm);
  EXPECT_EQ(Server->Name(), "IdTCPServer1");
  EXPECT_FALSE(Server->IsLoading());
  EXPECT_TRUE(Server->Active()) << "recorded; a designed server does not listen";
  ASSERT_EQ(Server->Bindings().Count(), 1);
  EXPECT_EQ(Server->Bindings().Items(0)->Port(), 100);
  EXPECT_EQ(Server->Bindings().Items(0)->IP(), TIdSocketHandle().IP()) << "IP keeps its default";
  EXPECT_EQ(Server->DefaultPort(), 100);
  EXPECT_EQ(Server->CommandHandlers().Count(), 0);
  EXPECT_EQ(Server->ReplyTexts().Count(), 0);
  EXPECT_EQ(Server->Greeting().NumericCode(), 0);
  EXPECT_EQ(Server->MaxConnectionReply().NumericCode(), 0);
  EXPECT_EQ(Server->ReplyUnknownCommand().NumericCode(), 0);
  EXPECT_EQ(Server->ReplyExceptionCode(), 0);
  EXPECT_TRUE(Server->OnExecute);
}

TEST_F(Form1Designed, EverythingElseKeepsTheServersDefaults) {
  TIdTCPServer* Server = FForm->IdTCPServer1;
  ASSERT_NE(Server, nullptr);
  EXPECT_EQ(Server->ListenQueue(), 15);
  EXPECT_EQ(Server->TerminateWaitTime(), 5000);
  EXPECT_EQ(Server->MaxConnections(), 0);
  EXPECT_TRUE(Server->CommandHandlersEnabled());
  EXPECT_EQ(Server->ReuseSocket(), TIdReuseSocket::rsOSDependent);
  EXPECT_EQ(Server->ThreadMgr(), nullptr);
  EXPECT_EQ(Server->IOHandler(), nullptr);
  EXPECT_EQ(Server->Intercept(), nullptr);
  EXPECT_FALSE(Server->OnConnect);
  EXPECT_FALSE(Server->OnDisconnect);
  EXPECT_FALSE(Server->OnException);
  EXPECT_FALSE(Server->OnListenException);
  EXPECT_FALSE(Server->OnBeforeCommandHandler);
  EXPECT_FALSE(Server->OnAfterCommandHandler);
  EXPECT_FALSE(Server->OnNoCommandHandler);
}

TEST_F(Form1Designed, FreeingTheServerClearsTheFormsReference) {
  delete FForm->IdTCPServer1;
  EXPECT_EQ(FForm->IdTCPServer1, nullptr);
  EXPECT_EQ(FForm->ComponentCount(), 0);
}

// ---- The handler on a real connection ------------------------------------------------------

// Connects to 127.0.0.1:APort, sends ASend, and returns everything received until the server
// closes (or "<timeout>" after a generous limit).
std::string Exchange(int32_t APort, const std::string& ASend = "") {
  const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval Limit{10, 0};
  ::setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &Limit, sizeof Limit);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_port = htons(static_cast<uint16_t>(APort));
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string Received;
  if (::connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0) {
    ::close(Fd);
    return "<refused>";
  }
  if (!ASend.empty()) ::send(Fd, ASend.data(), ASend.size(), MSG_NOSIGNAL);
  char Buffer[256];
  for (;;) {
    const ssize_t N = ::recv(Fd, Buffer, sizeof Buffer, 0);
    if (N == 0) break;
    if (N < 0) {
      // A reset after the data (the server closed with our bytes unread) also ends the exchange.
      if (errno != ECONNRESET) Received += "<timeout>";
      break;
    }
    Received.append(Buffer, static_cast<size_t>(N));
  }
  ::close(Fd);
  return Received;
}

// The form (designed, so its own server stays idle) serving through a second server on an
// ephemeral loopback port, with the form's handler as OnExecute.
class Form1Handler : public Form1Designed {
protected:
  void SetUp() override {
    Form1Designed::SetUp();
    FServer = std::make_unique<TIdTCPServer>(nullptr);
    TIdSocketHandle* Binding = FServer->Bindings().Add();
    Binding->SetIP("127.0.0.1");
    Binding->SetPort(0);
    TForm1* Form = FForm;
    FServer->OnExecute = [Form](TIdPeerThread& AThread) { Form->IdTCPServer1Execute(AThread); };
    FServer->SetActive(true);
    FPort = Binding->Port();
  }
  void TearDown() override { FServer.reset(); }
  std::unique_ptr<TIdTCPServer> FServer;
  int32_t FPort = 0;
};

TEST_F(Form1Handler, AClientReceivesTestAndThenTheClose) {
  EXPECT_EQ(Exchange(FPort), "test");
}

TEST_F(Form1Handler, AClientThatSendsFirstGetsTheSame) {
  EXPECT_EQ(Exchange(FPort, "hello\r\nmore data\r\n"), "test");
}

TEST_F(Form1Handler, ClientsAtTheSameTimeAreServedIndependently) {
  constexpr int Clients = 8;
  std::vector<std::string> Results(Clients);
  std::vector<std::thread> Threads;
  for (int I = 0; I < Clients; ++I)
    Threads.emplace_back([&, I] { Results[I] = Exchange(FPort, I % 2 ? "x" : ""); });
  for (std::thread& T : Threads)
    T.join();
  for (const std::string& R : Results)
    EXPECT_EQ(R, "test");
}

} // namespace
} // namespace Id
