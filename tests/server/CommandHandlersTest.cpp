// SPDX-License-Identifier: MIT
// Command handlers: matching and parameters, the replies and text blocks they send, exception
// replies, disabled and duplicate handlers, unknown commands and the dispatch events.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/server/IdCommandHandlers.h"
#include "server/ServerTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

// What OnCommand saw of the last command.
struct TSeen {
  bool Called = false;
  std::string ParamText;
  std::vector<std::string> Params;
};

// Handlers tried directly, outside a server: the thread never runs and has no connection, so
// nothing is sent.
class CommandMatching : public testing::Test {
protected:
  TIdCommandHandler* Handler(const std::string& ACommand) {
    TIdCommandHandler* H = FHandlers.Add();
    H->SetCommand(ACommand);
    H->OnCommand = [this](TIdCommand& C) {
      FSeen.Called = true;
      FSeen.ParamText = C.ParamText();
      FSeen.Params.clear();
      for (int I = 0; I < C.ParamList().Count(); ++I)
        FSeen.Params.push_back(C.ParamList()[I]);
    };
    return H;
  }
  bool Try(TIdCommandHandler* AHandler, const std::string& ALine) {
    FSeen = TSeen();
    return AHandler->TryHandleLine(ALine, FThread);
  }

  TIdCommandHandlers FHandlers{nullptr};
  TIdPeerThread FThread{true};
  TSeen FSeen;
};

TEST_F(CommandMatching, CommandWordIgnoresCaseAndNeedsItsDelimiter) {
  TIdCommandHandler* Quit = Handler("QUIT");
  EXPECT_TRUE(Try(Quit, "quit"));
  EXPECT_TRUE(FSeen.Called);
  EXPECT_EQ(FSeen.ParamText, "");
  EXPECT_TRUE(Try(Quit, "Quit now"));
  EXPECT_EQ(FSeen.ParamText, "now");
  EXPECT_FALSE(Try(Quit, "QUITE"));
  EXPECT_FALSE(FSeen.Called);
  EXPECT_FALSE(Try(Quit, "QUI"));

  Quit->SetCmdDelimiter('\0');
  EXPECT_TRUE(Try(Quit, "QUITE"));
  EXPECT_EQ(FSeen.ParamText, "E");
}

TEST_F(CommandMatching, BlankDelimitedParametersAreSplitUntrimmed) {
  TIdCommandHandler* Set = Handler("SET");
  EXPECT_TRUE(Try(Set, "SET  a  b"));
  EXPECT_EQ(FSeen.ParamText, " a  b") << "only one blank is the command delimiter";
  EXPECT_EQ(FSeen.Params, (std::vector<std::string>{"a", "b"}));
}

TEST_F(CommandMatching, OtherDelimitersGiveTrimmedFields) {
  TIdCommandHandler* Set = Handler("SET");
  Set->SetParamDelimiter(',');
  EXPECT_TRUE(Try(Set, "SET x , y"));
  EXPECT_EQ(FSeen.Params, (std::vector<std::string>{"x", "y"}));

  Set->SetParseParams(false);
  EXPECT_TRUE(Try(Set, "SET x , y"));
  EXPECT_TRUE(FSeen.Params.empty());
  EXPECT_EQ(FSeen.ParamText, "x , y");
}

TEST_F(CommandMatching, NamesAndDisplayNames) {
  TIdCommandHandler* First = FHandlers.Add();
  TIdCommandHandler* Second = FHandlers.Add();
  EXPECT_EQ(First->Name(), "TIdCommandHandler0");
  EXPECT_EQ(Second->Name(), "TIdCommandHandler1");
  EXPECT_EQ(First->DisplayName(), "TIdCommandHandler0");
  First->SetCommand("HELP");
  EXPECT_EQ(First->DisplayName(), "HELP");
  Second->SetDisplayName("Other");
  EXPECT_EQ(Second->Name(), "Other");
}

// A server answering through command handlers, with a log of the dispatch events.
class CommandServer : public testing::Test {
protected:
  CommandServer() {
    FServer.OnBeforeCommandHandler = [this](TIdTCPServer&, const std::string& AData,
                                            TIdPeerThread&) { FLog.Add("before:" + AData); };
    FServer.OnAfterCommandHandler = [this](TIdTCPServer&, TIdPeerThread&) { FLog.Add("after"); };
    FServer.OnException = [this](TIdPeerThread&, const Exception& E) {
      FLog.Add("exception:" + E.Message());
    };
  }
  TIdCommandHandler* Handler(const std::string& ACommand, int32_t ACode = 0,
                             const std::string& AText = std::string()) {
    TIdCommandHandler* H = FServer.CommandHandlers().Add();
    H->SetCommand(ACommand);
    if (ACode != 0 || !AText.empty()) H->ReplyNormal().SetCodeAndText(ACode, AText);
    return H;
  }
  int32_t Start() { return StartOnLoopback(FServer); }

  TEventLog FLog;
  TIdTCPServer FServer{nullptr};
};

TEST_F(CommandServer, ReplyNormalAnswersEveryMatchingLine) {
  Handler("NOOP", 200);
  TRawPeer Client(Start());
  Client.SendLine("NOOP");
  EXPECT_EQ(Client.ReadLine(), "200");
  Client.SendLine("noop again");
  EXPECT_EQ(Client.ReadLine(), "200");
  ASSERT_TRUE(WaitFor([&] { return FLog.Count() == 4; }, FactLimit)); // "after" follows the reply
  EXPECT_EQ(FLog.Entries(),
            (std::vector<std::string>{"before:NOOP", "after", "before:noop again", "after"}));
}

TEST_F(CommandServer, ReplyTextComesFromReplyTextsWhenTheReplyHasNone) {
  FServer.ReplyTexts().Add()->SetCodeAndText(250, "Fine");
  Handler("STAT", 250);
  TRawPeer Client(Start());
  Client.SendLine("STAT");
  EXPECT_EQ(Client.ReadLine(), "250 Fine");
}

TEST_F(CommandServer, EmptyLinesAreIgnored) {
  Handler("NOOP", 200);
  TRawPeer Client(Start());
  Client.Send("\r\n\r\nNOOP\r\n");
  EXPECT_EQ(Client.ReadLine(), "200");
  ASSERT_TRUE(WaitFor([&] { return FLog.Count() == 2; }, FactLimit));
  EXPECT_EQ(FLog.Entries(), (std::vector<std::string>{"before:NOOP", "after"}));
}

TEST_F(CommandServer, ExceptionWithAReplyCodeBecomesAReplyAndTheConnectionGoesOn) {
  FServer.SetReplyExceptionCode(451);
  TIdCommandHandler* Own = Handler("OWN");
  Own->SetReplyExceptionCode(500);
  Own->OnCommand = [](TIdCommand&) { throw EIdException("it broke"); };
  TIdCommandHandler* Deferring = Handler("DEFER");
  Deferring->OnCommand = [](TIdCommand&) { throw EIdException("later"); };
  TRawPeer Client(Start());
  Client.SendLine("OWN");
  EXPECT_EQ(Client.ReadLine(), "500 it broke");
  Client.SendLine("DEFER");
  EXPECT_EQ(Client.ReadLine(), "451 later") << "the server's code serves handlers without one";
  EXPECT_EQ(FLog.CountOf("exception:it broke") + FLog.CountOf("exception:later"), 0u)
      << "handled, not reported";
}

TEST_F(CommandServer, StandardExceptionBecomesTheExceptionReplyToo) {
  FServer.SetReplyExceptionCode(500);
  Handler("NOOP", 200);
  TIdCommandHandler* Add = Handler("ADD");
  Add->OnCommand = [](TIdCommand& C) { static_cast<void>(std::stoi(C.ParamText())); };
  TRawPeer Client(Start());
  Client.SendLine("ADD abc");
  EXPECT_EQ(Client.ReadLine(), "500 stoi") << "what() is the reply's text";
  Client.SendLine("NOOP");
  EXPECT_EQ(Client.ReadLine(), "200") << "the connection goes on";
}

TEST_F(CommandServer, ExceptionWithoutAReplyCodeEndsTheConnection) {
  TIdCommandHandler* Fail = Handler("FAIL");
  Fail->OnCommand = [](TIdCommand&) { throw EIdException("fatal"); };
  TRawPeer Client(Start());
  Client.SendLine("FAIL");
  EXPECT_TRUE(Client.WaitClosed());
  ASSERT_TRUE(WaitFor([&] { return FLog.CountOf("exception:fatal") == 1; }, FactLimit));
  EXPECT_EQ(FLog.Entries()[1], "after") << "OnAfterCommandHandler runs even when handling raised";
}

TEST_F(CommandServer, ExceptionAfterAnEarlyReplyEndsTheConnection) {
  TIdCommandHandler* Fail = Handler("FAIL", 100);
  Fail->SetReplyExceptionCode(500);
  Fail->OnCommand = [](TIdCommand& C) {
    C.SendCommandReply();
    throw EIdException("after the reply");
  };
  TRawPeer Client(Start());
  Client.SendLine("FAIL");
  EXPECT_EQ(Client.ReadUntilClosed(), "100\r\n") << "one reply, then the close";
}

TEST_F(CommandServer, DisconnectClosesAfterTheReplyAlsoAfterAnExceptionReply) {
  TIdCommandHandler* Quit = Handler("QUIT", 221, "Bye");
  Quit->SetDisconnect(true);
  TIdCommandHandler* Fail = Handler("FAIL");
  Fail->SetDisconnect(true);
  Fail->SetReplyExceptionCode(500);
  Fail->OnCommand = [](TIdCommand&) { throw EIdException("no"); };
  const int32_t Port = Start();
  TRawPeer A(Port);
  A.SendLine("QUIT");
  EXPECT_EQ(A.ReadUntilClosed(), "221 Bye\r\n");
  TRawPeer B(Port);
  B.SendLine("FAIL");
  EXPECT_EQ(B.ReadUntilClosed(), "500 no\r\n");
}

TEST_F(CommandServer, ResponseLinesReplaceTheReplyWhenItIsNotPending) {
  TIdCommandHandler* List = Handler("LIST", 250, "not sent");
  List->OnCommand = [](TIdCommand& C) {
    C.SetReplyPending(false);
    C.ResponseLines().Add("a");
    C.ResponseLines().Add(".");
    C.ResponseLines().Add(".b");
  };
  Handler("NOOP", 200);
  TRawPeer Client(Start());
  Client.SendLine("LIST");
  Client.SendLine("NOOP");
  EXPECT_EQ(Client.ReadLine(), "a");
  EXPECT_EQ(Client.ReadLine(), "..");
  EXPECT_EQ(Client.ReadLine(), ".b");
  EXPECT_EQ(Client.ReadLine(), ".");
  EXPECT_EQ(Client.ReadLine(), "200");
}

TEST_F(CommandServer, HandlerResponseFollowsTheReplyWhenTheCommandAddsNone) {
  TIdCommandHandler* Help = Handler("HELP", 214, "Commands:");
  Help->Response().Add("HELP");
  Help->Response().Add("QUIT");
  TRawPeer Client(Start());
  Client.SendLine("HELP");
  EXPECT_EQ(Client.ReadLine(), "214 Commands:");
  EXPECT_EQ(Client.ReadLine(), "HELP");
  EXPECT_EQ(Client.ReadLine(), "QUIT");
  EXPECT_EQ(Client.ReadLine(), ".");
}

TEST_F(CommandServer, OnlyTheFirstEnabledHandlerForAWordRuns) {
  TIdCommandHandler* Disabled = Handler("WHO", 201);
  Disabled->SetEnabled(false);
  Handler("WHO", 202);
  Handler("WHO", 203);
  TRawPeer Client(Start());
  Client.SendLine("WHO");
  Client.SendLine("WHO");
  EXPECT_EQ(Client.ReadLine(), "202");
  EXPECT_EQ(Client.ReadLine(), "202");
}

TEST_F(CommandServer, UnknownCommandGetsReplyUnknownCommandWithTextFromReplyTexts) {
  FServer.ReplyTexts().Add()->SetCodeAndText(500, "Unknown command");
  FServer.ReplyUnknownCommand().SetNumericCode(500);
  Handler("NOOP", 200);
  TRawPeer Client(Start());
  Client.SendLine("BOGUS x");
  EXPECT_EQ(Client.ReadLine(), "500 Unknown command");
  Client.SendLine("NOOP");
  EXPECT_EQ(Client.ReadLine(), "200") << "the connection stays open";
}

TEST_F(CommandServer, OnNoCommandHandlerTakesUnknownLinesInstead) {
  FServer.ReplyUnknownCommand().SetCodeAndText(500, "not sent");
  FServer.OnNoCommandHandler = [this](TIdTCPServer& ASender, const std::string& AData,
                                      TIdPeerThread& AThread) {
    EXPECT_EQ(&ASender, &FServer);
    AThread.PeerConnection()->WriteLine("? " + AData);
  };
  Handler("NOOP", 200);
  TRawPeer Client(Start());
  Client.SendLine("BOGUS");
  EXPECT_EQ(Client.ReadLine(), "? BOGUS");
}

TEST_F(CommandServer, UnknownCommandWithNothingToAnswerEndsTheConnection) {
  Handler("NOOP", 200);
  TRawPeer Client(Start());
  Client.SendLine("BOGUS");
  EXPECT_TRUE(Client.WaitClosed());
  EXPECT_TRUE(
      WaitFor([&] { return FLog.CountOf("exception:No command handler found.") == 1; }, FactLimit));
}

TEST_F(CommandServer, DisabledCommandHandlersLeaveTheStepToOnExecute) {
  Handler("NOOP", 200);
  FServer.SetCommandHandlersEnabled(false);
  FServer.OnExecute = [](TIdPeerThread& AThread) {
    AThread.PeerConnection()->WriteText("execute");
    AThread.PeerConnection()->CloseConnection();
  };
  TRawPeer Client(Start());
  Client.SendLine("NOOP");
  EXPECT_EQ(Client.ReadUntilClosed(), "execute");
}

TEST_F(CommandServer, FrameworkClientSendsCommandsAndReadsMultiLineReplies) {
  Handler("NOOP", 200, "OK");
  Handler("INFO", 211, "first\nsecond");
  const int32_t Port = Start();
  TIdTCPConnection Client(nullptr);
  auto Transport = std::make_unique<TIdIOHandlerSocket>(nullptr);
  Transport->OpenIO();
  Transport->ConnectTo("127.0.0.1", Port, "", 0, 0, 0, -1);
  Client.SetIOHandler(std::move(Transport));
  EXPECT_EQ(Client.SendCommand("NOOP", {200}), 200);
  EXPECT_EQ(Client.SendCommand("INFO", {}), 211);
  ASSERT_EQ(Client.LastReply().Text().Count(), 2);
  EXPECT_EQ(Client.LastReply().Text()[1], "second");
  EXPECT_THROW(Client.SendCommand("NOOP", {250}), EIdProtocolReplyError);
  Client.CloseConnection();
}

} // namespace
