// SPDX-License-Identifier: MIT
// The road of one connection: greeting, OnConnect, the execute step, the end of the client's
// connection as a quiet end, reported failures, OnDisconnect and the hand-back of the thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "idframework/connection/IdIntercept.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "server/ServerTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

// A peer thread class that records how each thread's work ended. Outlives the threads it made.
class TPeerProbe {
public:
  ~TPeerProbe() {
    WaitFor([this] { return Ended.load() == Made.load(); }, FactLimit);
  }

  TIdThreadClass Class() {
    return [this](bool ACreateSuspended) -> std::unique_ptr<TIdThread> {
      auto Thread = std::make_unique<TIdPeerThread>(ACreateSuspended);
      Thread->OnRunException = [this](TIdThread&, const Exception& E) {
        RunExceptions.Add(E.Message());
      };
      Thread->OnTerminate = [this](TThread&) { ++Ended; };
      ++Made;
      return Thread;
    };
  }
  bool AllEnded(int ACount) {
    return WaitFor([&] { return Ended.load() == ACount; }, FactLimit);
  }

  std::atomic<int> Made{0};
  std::atomic<int> Ended{0};
  TEventLog RunExceptions;
};

// The application's handler: "test", then close.
void WriteTestAndClose(TIdPeerThread& AThread) {
  AThread.PeerConnection()->WriteText("test");
  AThread.PeerConnection()->CloseConnection();
}

// Logs OnException (with the exception's class) and OnDisconnect in order.
void LogEnds(TIdTCPServer& AServer, TEventLog& ALog) {
  AServer.OnException = [&ALog](TIdPeerThread&, const Exception& E) {
    const char* Kind = dynamic_cast<const EIdConnClosedGracefully*>(&E) ? "closed:"
                       : dynamic_cast<const EIdNoExecuteSpecified*>(&E) ? "noexecute:"
                       : dynamic_cast<const EIdSocketError*>(&E)        ? "socket:"
                                                                        : "other:";
    ALog.Add(std::string(Kind) + E.Message());
  };
  AServer.OnDisconnect = [&ALog](TIdPeerThread&) { ALog.Add("disconnect"); };
}

// Replaces every sent byte by its upper-case form.
class TUpperCaseIntercept : public TIdServerIntercept {
public:
  using TIdServerIntercept::TIdServerIntercept;
  void PrepareIntercept() override {}
  TIdConnectionIntercept* AcceptConnection(TIdTCPConnection*) override {
    ++Accepted;
    auto* Intercept = new TIdConnectionIntercept(this); // owned by this component
    Intercept->OnSend = [](TIdConnectionIntercept*, TStream& AStream) {
      std::string Bytes(static_cast<size_t>(AStream.Size()), '\0');
      AStream.ReadBuffer(Bytes.data(), static_cast<int32_t>(Bytes.size()));
      std::transform(Bytes.begin(), Bytes.end(), Bytes.begin(),
                     [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
      AStream.Seek(0, TSeekOrigin::soBeginning);
      AStream.WriteBuffer(Bytes.data(), static_cast<int32_t>(Bytes.size()));
    };
    return Intercept;
  }
  std::atomic<int> Accepted{0};
};

} // namespace

TEST(PeerThread, ExecuteHandlerWritesTestAndClosesAndTheThreadLeaves) {
  TPeerProbe Probe;
  TIdTCPServer Server(nullptr);
  TEventLog Log;
  Server.SetPeerThreadClass(Probe.Class());
  Server.OnExecute = WriteTestAndClose;
  LogEnds(Server, Log);
  TRawPeer Client(StartOnLoopback(Server));
  bool Closed = false;
  EXPECT_EQ(Client.ReadUntilClosed(&Closed), "test") << "no greeting: nothing before the text";
  EXPECT_TRUE(Closed);
  ASSERT_TRUE(Probe.AllEnded(1));
  EXPECT_EQ(Server.PeerThreadCount(), 0);
  EXPECT_EQ(Log.Entries(), std::vector<std::string>{"disconnect"});
  EXPECT_EQ(Probe.RunExceptions.Count(), 0u);
}

// A handler with 2 MiB of its own on the stack, as code written for a thread of its own may
// have, is served on the default stack instead of ending the process.
TEST(PeerThread, AHandlerMayUseTwoMebibytesOfStack) {
  TIdTCPServer Server(nullptr);
  Server.OnExecute = [](TIdPeerThread& AThread) {
    volatile char Block[2 << 20];
    int Pages = 0;
    for (size_t I = 0; I < sizeof(Block); I += 4096)
      Block[I] = 1;
    for (size_t I = 0; I < sizeof(Block); I += 4096)
      Pages += Block[I];
    AThread.PeerConnection()->WriteText(std::to_string(Pages));
    AThread.PeerConnection()->CloseConnection();
  };
  TRawPeer Client(StartOnLoopback(Server));
  EXPECT_EQ(Client.ReadUntilClosed(), "512");
}

TEST(PeerThread, GreetingWithCodeOnlyIsTheCodeAndCrLf) {
  TIdTCPServer Server(nullptr);
  Server.Greeting().SetNumericCode(200);
  Server.OnExecute = WriteTestAndClose;
  TRawPeer Client(StartOnLoopback(Server));
  EXPECT_EQ(Client.ReadUntilClosed(), "200\r\ntest");
}

TEST(PeerThread, GreetingTakesItsTextFromReplyTextsUnlessItHasOne) {
  TIdTCPServer Server(nullptr);
  Server.ReplyTexts().Add()->SetCodeAndText(220, "Ready");
  Server.Greeting().SetNumericCode(220);
  Server.OnExecute = WriteTestAndClose;
  const int32_t Port = StartOnLoopback(Server);
  TRawPeer First(Port);
  EXPECT_EQ(First.ReadUntilClosed(), "220 Ready\r\ntest");

  Server.SetActive(false);
  Server.Greeting().SetCodeAndText(220, "Own\nlines");
  Server.Bindings().Items(0)->SetPort(0); // the old port may be held by closed connections
  Server.SetActive(true);
  TRawPeer Second(Server.Bindings().Items(0)->Port());
  EXPECT_EQ(Second.ReadUntilClosed(), "220-Own\r\n220 lines\r\ntest");
}

TEST(PeerThread, NoExecuteHandlerIsReportedAndTheConnectionEnds) {
  TPeerProbe Probe;
  TIdTCPServer Server(nullptr);
  TEventLog Log;
  Server.SetPeerThreadClass(Probe.Class());
  LogEnds(Server, Log);
  TRawPeer Client(StartOnLoopback(Server));
  EXPECT_TRUE(Client.WaitClosed());
  ASSERT_TRUE(Probe.AllEnded(1));
  EXPECT_EQ(Log.Entries(),
            (std::vector<std::string>{"noexecute:No execute handler found.", "disconnect"}));
  EXPECT_EQ(Probe.RunExceptions.Entries(), std::vector<std::string>{"No execute handler found."});
}

TEST(PeerThread, ClientClosingDuringARead) {
  TPeerProbe Probe;
  TIdTCPServer Server(nullptr);
  TEventLog Log;
  Server.SetPeerThreadClass(Probe.Class());
  Server.OnExecute = [](TIdPeerThread& AThread) { AThread.PeerConnection()->ReadLine(); };
  LogEnds(Server, Log);
  TRawPeer Client(StartOnLoopback(Server));
  ASSERT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 1; }, FactLimit));
  Client.Close();

  ASSERT_TRUE(Probe.AllEnded(1));
  EXPECT_EQ(Log.Entries(),
            (std::vector<std::string>{"closed:Connection Closed Gracefully.", "disconnect"}));
  EXPECT_EQ(Probe.RunExceptions.Count(), 0u) << "a quiet end";
  EXPECT_EQ(Server.PeerThreadCount(), 0);
}

TEST(PeerThread, ClientResettingDuringAReadIsAQuietEndToo) {
  TPeerProbe Probe;
  TIdTCPServer Server(nullptr);
  TEventLog Log;
  Server.SetPeerThreadClass(Probe.Class());
  Server.OnExecute = [](TIdPeerThread& AThread) { AThread.PeerConnection()->ReadLine(); };
  LogEnds(Server, Log);
  TRawPeer Client(StartOnLoopback(Server));
  ASSERT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 1; }, FactLimit));
  Client.Reset();

  ASSERT_TRUE(Probe.AllEnded(1));
  const auto Entries = Log.Entries();
  ASSERT_EQ(Entries.size(), 2u);
  EXPECT_EQ(Entries[0].rfind("socket:Socket Error # 10054", 0), 0u) << Entries[0];
  EXPECT_EQ(Entries[1], "disconnect");
  EXPECT_EQ(Probe.RunExceptions.Count(), 0u);
}

TEST(PeerThread, HandlerExceptionIsReportedOnceAndEndsTheConnection) {
  // A standard exception takes the same road as one of the framework's.
  const std::function<void()> Throws[] = {[] { throw EIdException("boom"); },
                                          [] { throw std::runtime_error("boom"); }};
  for (const auto& Throw : Throws) {
    TPeerProbe Probe;
    TIdTCPServer Server(nullptr);
    TEventLog Log;
    Server.SetPeerThreadClass(Probe.Class());
    Server.OnExecute = [&](TIdPeerThread&) { Throw(); };
    LogEnds(Server, Log);
    TRawPeer Client(StartOnLoopback(Server));
    EXPECT_TRUE(Client.WaitClosed());
    ASSERT_TRUE(Probe.AllEnded(1));
    EXPECT_EQ(Log.Entries(), (std::vector<std::string>{"other:boom", "disconnect"}));
    EXPECT_EQ(Probe.RunExceptions.Entries(), std::vector<std::string>{"boom"});
  }
}

TEST(PeerThread, ExecuteRunsOncePerStepWhileTheConnectionIsOpen) {
  TIdTCPServer Server(nullptr);
  Server.OnExecute = [](TIdPeerThread& AThread) {
    TIdTCPServerConnection& Connection = *AThread.PeerConnection();
    const std::string Line = Connection.ReadLine();
    if (Line == "bye")
      Connection.CloseConnection();
    else
      Connection.WriteLine("echo " + Line);
  };
  TRawPeer Client(StartOnLoopback(Server));
  Client.SendLine("one");
  EXPECT_EQ(Client.ReadLine(), "echo one");
  Client.SendLine("two");
  EXPECT_EQ(Client.ReadLine(), "echo two");
  Client.SendLine("bye");
  EXPECT_TRUE(Client.WaitClosed());
}

// Per-connection state through the typed accessors: made in OnConnect, found by every execute
// step of that connection, and gone with it.
TEST(PeerThread, TypedDataLivesAsLongAsItsConnection) {
  TIdTCPServer Server(nullptr);
  Server.OnConnect = [](TIdPeerThread& AThread) { AThread.EmplaceData<int>(0); };
  Server.OnExecute = [](TIdPeerThread& AThread) {
    TIdTCPServerConnection& Connection = *AThread.PeerConnection();
    const std::string Line = Connection.ReadLine();
    const bool WrongType = AThread.Data<std::string>() != nullptr;
    Connection.WriteLine(Line + " " + std::to_string(++*AThread.Data<int>()) +
                         (WrongType ? " wrong type" : ""));
  };
  StartOnLoopback(Server);
  for (int Round = 0; Round < 2; ++Round) {
    TRawPeer Client(Server.BoundPort());
    Client.SendLine("line");
    EXPECT_EQ(Client.ReadLine(), "line 1");
    Client.SendLine("line");
    EXPECT_EQ(Client.ReadLine(), "line 2");
  }
}

TEST(PeerThread, ConnectClosingTheConnectionSkipsTheExecuteStep) {
  TPeerProbe Probe;
  TIdTCPServer Server(nullptr);
  TEventLog Log;
  Server.SetPeerThreadClass(Probe.Class());
  Server.OnConnect = [](TIdPeerThread& AThread) { AThread.PeerConnection()->CloseConnection(); };
  Server.OnExecute = [&](TIdPeerThread&) { Log.Add("execute"); };
  LogEnds(Server, Log);
  TRawPeer Client(StartOnLoopback(Server));
  EXPECT_TRUE(Client.WaitClosed());
  ASSERT_TRUE(Probe.AllEnded(1));
  EXPECT_EQ(Log.Entries(), std::vector<std::string>{"disconnect"});
}

TEST(PeerThread, FailingConnectEndsWithoutDisconnectOrExceptionEvent) {
  TPeerProbe Probe;
  TIdTCPServer Server(nullptr);
  TEventLog Log;
  Server.SetPeerThreadClass(Probe.Class());
  Server.OnConnect = [](TIdPeerThread&) { throw EIdException("refused"); };
  Server.OnExecute = WriteTestAndClose;
  LogEnds(Server, Log);
  TRawPeer Client(StartOnLoopback(Server));
  bool Closed = false;
  EXPECT_EQ(Client.ReadUntilClosed(&Closed), "");
  EXPECT_TRUE(Closed) << "the connection is freed";
  ASSERT_TRUE(Probe.AllEnded(1));
  EXPECT_EQ(Log.Count(), 0u);
  EXPECT_EQ(Probe.RunExceptions.Entries(), std::vector<std::string>{"refused"});
  EXPECT_EQ(Server.PeerThreadCount(), 0);
}

TEST(PeerThread, ServerInterceptGivesEveryConnectionItsOwnIntercept) {
  TUpperCaseIntercept Intercept(nullptr);
  TIdTCPServer Server(nullptr);
  Server.SetIntercept(&Intercept);
  Server.OnExecute = WriteTestAndClose;
  const int32_t Port = StartOnLoopback(Server);
  TRawPeer A(Port);
  EXPECT_EQ(A.ReadUntilClosed(), "TEST");
  TRawPeer B(Port);
  EXPECT_EQ(B.ReadUntilClosed(), "TEST");
  EXPECT_EQ(Intercept.Accepted.load(), 2);
}

TEST(PeerThread, RemovedInterceptIsForgotten) {
  auto Intercept = std::make_unique<TUpperCaseIntercept>(nullptr);
  TIdTCPServer Server(nullptr);
  Server.SetIntercept(Intercept.get());
  Intercept.reset();
  EXPECT_EQ(Server.Intercept(), nullptr);
  Server.OnExecute = WriteTestAndClose;
  TRawPeer Client(StartOnLoopback(Server));
  EXPECT_EQ(Client.ReadUntilClosed(), "test");
}

TEST(PeerThread, AVisitOfTheRunningThreadsHoldsNoLockOfTheServer) {
  TIdTCPServer Server(nullptr);
  Server.OnExecute = [](TIdPeerThread& AThread) { AThread.PeerConnection()->ReadLine(); };
  const int32_t Port = StartOnLoopback(Server);
  TRawPeer A(Port), B(Port);
  ASSERT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 2; }, FactLimit));
  FinishesWithin(FactLimit, [&] {
    Server.ForEachPeerThread([&](TIdPeerThread& AThread) {
      AThread.PeerConnection()->WriteLine(IntToStr(Server.PeerThreadCount()));
    });
  });
  EXPECT_EQ(A.ReadLine(), "2") << "written while the visit asked the server";
  EXPECT_EQ(B.ReadLine(), "2");
}
