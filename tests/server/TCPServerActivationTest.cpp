// SPDX-License-Identifier: MIT
// Activation and deactivation of the server: deferred Active, bindings and their roll-back,
// stopping listeners and peer threads, and the components the server refers to.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/connection/IdServerIOHandlerSocket.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/threads/IdThreadMgrDefault.h"
#include "server/ServerTestSupport.h"
#include "support/IPv6Loopback.h"

using namespace Id;
using namespace IdTest;

namespace {

// Serves each client by reading lines until it goes away: keeps connections open.
void ServeByReading(TIdTCPServer& AServer) {
  AServer.OnExecute = [](TIdPeerThread& AThread) { AThread.PeerConnection()->ReadLine(); };
}

// Records the removal of the component it watches.
class TRemovalProbe : public TComponent {
public:
  explicit TRemovalProbe(TComponent* AWatched) : TComponent(nullptr) { FreeNotification(AWatched); }
  void Notification(TComponent* AComponent, TOperation AOperation) override {
    TComponent::Notification(AComponent, AOperation);
    if (AOperation == TOperation::opRemove) Removed = true;
  }
  bool Removed = false;
};

// A peer closes its connection while the owner deactivates the server, and the close event asks
// the server for its peer count throughout: from the moment the listener is stopped until the
// deactivation has certainly reached the connections. No lock held around the event may be one
// that the deactivation waits for.
void DeactivateWhileACloseEventAsksTheServer(bool AOnDisconnected) {
  TIdTCPServer Server(nullptr);
  const int32_t Port = StartOnLoopback(Server);
  TIdSocketHandle* Binding = Server.Bindings().Items(0);
  std::atomic<bool> InEvent{false};
  auto AskTheServer = [&] {
    InEvent = true;
    while (Binding->IsAllocated())
      std::this_thread::yield();
    for (const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
         std::chrono::steady_clock::now() < Until;)
      Server.PeerThreadCount();
  };
  Server.OnExecute = [&](TIdPeerThread& AThread) {
    TIdTCPServerConnection& Connection = *AThread.PeerConnection();
    if (AOnDisconnected)
      Connection.OnDisconnected = [&](TComponent*) { AskTheServer(); };
    else
      Connection.OnStatus = [&](TComponent*, TIdStatus AStatus, const std::string&) {
        if (AStatus == TIdStatus::stDisconnecting) AskTheServer();
      };
    Connection.CloseConnection();
  };
  TRawPeer Client(Port);
  ASSERT_TRUE(WaitFor([&] { return InEvent.load(); }, FactLimit));
  FinishesWithin(FactLimit, [&] { Server.SetActive(false); });
  EXPECT_EQ(Server.PeerThreadCount(), 0);
}

class TCountingServer : public TIdTCPServer {
public:
  using TIdTCPServer::TIdTCPServer;
  int Prepared = 0;

protected:
  void PrepareCommandHandlers() override { ++Prepared; }
};

} // namespace

TEST(ServerActivation, StoredActiveWaitsForLoaded) {
  TIdTCPServer Server(nullptr);
  ServeByReading(Server);
  Server.SetComponentStateFlag(csLoading, true);
  TIdSocketHandle* Binding = Server.Bindings().AddBinding();
  Binding->SetIP("127.0.0.1");
  Server.SetActive(true);
  EXPECT_TRUE(Server.Active()) << "recorded";
  EXPECT_FALSE(Binding->IsAllocated()) << "but nothing bound while loading";

  Server.Loaded();
  EXPECT_TRUE(Server.Active());
  ASSERT_TRUE(Binding->IsAllocated());
  EXPECT_NE(Binding->Port(), 0);
  EXPECT_TRUE(Accepts(Binding->Port()));
}

TEST(ServerActivation, SettingActiveTwiceActivatesOnceAndDeactivationFreesThePort) {
  TIdTCPServer Server(nullptr);
  ServeByReading(Server);
  const int32_t Port = StartOnLoopback(Server);
  const auto Descriptor = Server.Bindings().Items(0)->Descriptor();
  Server.SetActive(true);
  EXPECT_EQ(Server.Bindings().Items(0)->Descriptor(), Descriptor) << "not bound again";
  EXPECT_TRUE(Accepts(Port));

  Server.SetActive(false);
  EXPECT_FALSE(Server.Active());
  EXPECT_FALSE(Server.Bindings().Items(0)->IsAllocated());
  EXPECT_FALSE(Accepts(Port));
}

TEST(ServerActivation, NoBindingsListensOnDefaultPort) {
  int32_t FreePort = 0;
  {
    TRawListener Probe; // a port the platform just handed out, free again once closed
    FreePort = Probe.Port();
  }
  TIdTCPServer Server(nullptr);
  ServeByReading(Server);
  Server.SetDefaultPort(FreePort);
  Server.SetActive(true);
  ASSERT_EQ(Server.Bindings().Count(), 1);
  EXPECT_EQ(Server.Bindings().Items(0)->Port(), FreePort);
  EXPECT_EQ(Server.Bindings().Items(0)->IP(), "0.0.0.0");
  EXPECT_TRUE(Accepts(FreePort));
}

TEST(ServerActivation, BoundPortIsThePortTheSystemChose) {
  TIdTCPServer Server(nullptr);
  const int32_t Port = StartOnLoopback(Server);
  EXPECT_NE(Port, 0);
  EXPECT_EQ(Server.BoundPort(), Port);
  EXPECT_TRUE(Accepts(Server.BoundPort(0)));
  EXPECT_THROW(Server.BoundPort(1), EListError);
}

TEST(ServerActivation, SecondBindingTakenRollsBackTheFirst) {
  TRawListener Taken;
  TIdTCPServer Server(nullptr);
  ServeByReading(Server);
  TIdSocketHandle* First = Server.Bindings().AddBinding();
  First->SetIP("127.0.0.1");
  TIdSocketHandle* Second = Server.Bindings().AddBinding();
  Second->SetIP("127.0.0.1");
  Second->SetPort(Taken.Port());

  try {
    Server.SetActive(true);
    FAIL() << "the bind must fail";
  } catch (const EIdCouldNotBindSocket& E) {
    EXPECT_STREQ(E.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(Server.Active());
  EXPECT_FALSE(First->IsAllocated());
  EXPECT_FALSE(Second->IsAllocated()) << "the failing binding's socket is closed as well";
  EXPECT_FALSE(Accepts(First->Port()));
}

TEST(ServerActivation, ListenFailureOnALaterBindingRollsBackEverything) {
  // With address reuse both bindings bind to the same port; only one of them can listen.
  int32_t SharedPort = 0;
  {
    TRawListener Probe;
    SharedPort = Probe.Port();
  }
  TIdTCPServer Server(nullptr);
  ServeByReading(Server);
  Server.SetReuseSocket(TIdReuseSocket::rsTrue);
  for (int I = 0; I < 2; ++I) {
    TIdSocketHandle* Binding = Server.Bindings().AddBinding();
    Binding->SetIP("127.0.0.1");
    Binding->SetPort(SharedPort);
  }

  try {
    Server.SetActive(true);
    FAIL() << "listening on the second binding must fail";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.SocketErrorCode(), WSA::EADDRINUSE_);
  }
  EXPECT_FALSE(Server.Active());
  EXPECT_FALSE(Server.Bindings().Items(0)->IsAllocated());
  EXPECT_FALSE(Server.Bindings().Items(1)->IsAllocated());
  EXPECT_FALSE(Accepts(SharedPort)) << "the first listener is stopped";
  EXPECT_EQ(LiveThreadCount(), 0) << "the started listener thread is gone";

  Server.SetReuseSocket(TIdReuseSocket::rsOSDependent);
  Server.Bindings().Delete(1);
  Server.SetActive(true);
  EXPECT_TRUE(Accepts(SharedPort)) << "the server can be activated again";
}

TEST(ServerActivation, DeactivationWithoutConnectionsStopsTheListenerPromptly) {
  TIdTCPServer Server(nullptr);
  ServeByReading(Server);
  const int32_t Port = StartOnLoopback(Server);
  const auto Start = std::chrono::steady_clock::now();
  Server.SetActive(false);
  const auto Elapsed = std::chrono::steady_clock::now() - Start;
  EXPECT_LT(Elapsed, std::chrono::seconds(1)) << "the listener notices within one 100 ms step";
  EXPECT_FALSE(Accepts(Port));
}

TEST(ServerActivation, DeactivationDropsConnectionsAndWaitsForTheirThreads) {
  TIdTCPServer Server(nullptr);
  TEventLog Disconnects;
  ServeByReading(Server);
  Server.OnDisconnect = [&](TIdPeerThread&) { Disconnects.Add("disconnect"); };
  const int32_t Port = StartOnLoopback(Server);
  TRawPeer A(Port), B(Port);
  ASSERT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 2; }, FactLimit));

  Server.SetActive(false);
  EXPECT_EQ(Server.PeerThreadCount(), 0);
  EXPECT_EQ(Disconnects.Count(), 2u);
  EXPECT_TRUE(A.WaitClosed());
  EXPECT_TRUE(B.WaitClosed());
  // The implicit manager went with the last peer, and the threads ending afterwards did not
  // make a new one.
  ASSERT_TRUE(WaitFor([] { return LiveThreadCount() == 0; }, FactLimit));
  for (int I = 0; I < Server.ComponentCount(); ++I)
    EXPECT_EQ(dynamic_cast<TIdThreadMgr*>(Server.Components(I)), nullptr);
}

TEST(ServerActivation, ADrainStopsAcceptingAtOnceAndLetsConnectedClientsFinish) {
  TIdTCPServer Server(nullptr);
  Server.OnExecute = [](TIdPeerThread& AThread) {
    TIdTCPServerConnection& C = *AThread.PeerConnection();
    C.WriteLine(C.ReadLine());
  };
  const int32_t Port = StartOnLoopback(Server);
  TRawPeer Finishing(Port), Idle(Port);
  Finishing.SendLine("one");
  ASSERT_EQ(Finishing.ReadLine(), "one");
  std::thread Draining([&] { Server.Drain(int32_t(FactLimit.count())); });
  ASSERT_TRUE(WaitFor([&] { return !Accepts(Port); }));
  Finishing.SendLine("two");
  EXPECT_EQ(Finishing.ReadLine(), "two");
  EXPECT_TRUE(Server.Active());
  Finishing.Close();
  Idle.Close();
  Draining.join(); // when both have gone, not at the limit
  EXPECT_FALSE(Server.Active());
  // Clients that do not finish in time are closed, as by a deactivation.
  Server.SetActive(true);
  TRawPeer Staying(Port);
  ASSERT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 1; }));
  Server.Drain(50);
  EXPECT_TRUE(Staying.WaitClosed());
  EXPECT_FALSE(Server.Active());
}

TEST(ServerActivation, TerminateWaitTimeRaisesOnlyWhilePeerThreadsRemain) {
  TIdTCPServer Server(nullptr);
  std::atomic<bool> Entered{false}, Release{false};
  // Keeps its peer thread busy, whatever happens to the connection, until released.
  Server.OnExecute = [&](TIdPeerThread&) {
    Entered = true;
    while (!Release.load())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  Server.SetTerminateWaitTime(249);
  const int32_t Port = StartOnLoopback(Server);
  Server.SetActive(false);
  EXPECT_FALSE(Server.Active()) << "no peer thread: nothing timed out, even with no step";

  StartOnLoopback(Server);
  TRawPeer Client(Server.Bindings().Items(0)->Port());
  // Listed is not yet running: a peer thread stopped before its first step ends at once.
  ASSERT_TRUE(WaitFor([&] { return Entered.load(); }, FactLimit));
  try {
    Server.SetActive(false);
    FAIL() << "the peer thread outlives the wait";
  } catch (const EIdTerminateThreadTimeout& E) {
    EXPECT_STREQ(E.what(), "Terminate Thread Timeout");
  }
  EXPECT_TRUE(Server.Active()) << "recorded as active";
  EXPECT_FALSE(Accepts(Port)) << "but the listener is stopped";

  Release = true;
  Server.SetTerminateWaitTime(5000);
  Server.SetActive(false);
  EXPECT_FALSE(Server.Active());
}

TEST(ServerActivation, DeactivationWhileADisconnectingStatusAsksTheServerDoesNotHang) {
  DeactivateWhileACloseEventAsksTheServer(false);
}

TEST(ServerActivation, DeactivationWhileOnDisconnectedAsksTheServerDoesNotHang) {
  DeactivateWhileACloseEventAsksTheServer(true);
}

TEST(ServerActivation, DeactivationOnAPeerThreadLeavesThatThreadItsClient) {
  TIdTCPServer Server(nullptr);
  Server.OnExecute = [&](TIdPeerThread& AThread) {
    TIdTCPServerConnection& Connection = *AThread.PeerConnection();
    if (Connection.ReadLine() != "STOP") return;
    Server.SetActive(false);
    Connection.WriteLine("stopped");
    Connection.CloseConnection();
  };
  const int32_t Port = StartOnLoopback(Server);
  TRawPeer Other(Port), Stopper(Port);
  ASSERT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 2; }, FactLimit));
  Stopper.SendLine("STOP");
  EXPECT_EQ(Stopper.ReadLine(), "stopped") << "not waited for: no timeout, no exception";
  EXPECT_TRUE(Other.WaitClosed());
  EXPECT_FALSE(Server.Active());
  EXPECT_FALSE(Accepts(Port));
}

TEST(ServerActivationDeathTest, DestroyingTheServerOnItsOwnPeerThreadIsAClearEnd) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto* Server = new TIdTCPServer(nullptr);
        Server->OnExecute = [Server](TIdPeerThread&) { delete Server; };
        TRawPeer Client(StartOnLoopback(*Server));
        WaitFor([] { return false; }, FactLimit);
      },
      "Cannot destroy a server on one of its own peer threads");
}

TEST(ServerActivation, AServerThatServedClientsActivatesAgainAtOnceOnItsPort) {
  const TIdStackUse Stack;
  if (!GlobalStack()->ReusesListenAddress()) GTEST_SKIP() << "Windows binds anyway";
  // The server closes first, so each connection it served lingers in TIME_WAIT on its port.
  auto ServeAndRestart = [](TIdReuseSocket AReuse) {
    TIdTCPServer Server(nullptr);
    Server.SetReuseSocket(AReuse);
    Server.OnExecute = [](TIdPeerThread& AThread) {
      AThread.PeerConnection()->WriteText("x");
      AThread.PeerConnection()->CloseConnection();
    };
    const int32_t Port = StartOnLoopback(Server);
    for (int I = 0; I < 3; ++I) {
      TRawPeer Client(Port);
      EXPECT_EQ(Client.ReadUntilClosed(), "x");
    }
    Server.SetActive(false);
    Server.SetActive(true);
    return Accepts(Port);
  };
  EXPECT_TRUE(ServeAndRestart(TIdReuseSocket::rsOSDependent));
  EXPECT_THROW(ServeAndRestart(TIdReuseSocket::rsFalse), EIdCouldNotBindSocket)
      << "without the option the leftovers hold the port";
}

TEST(ServerActivation, DestroyingAnActiveServerDeactivatesIt) {
  auto Server = std::make_unique<TIdTCPServer>(nullptr);
  ServeByReading(*Server);
  const int32_t Port = StartOnLoopback(*Server);
  TRawPeer Client(Port);
  ASSERT_TRUE(WaitFor([&] { return Server->PeerThreadCount() == 1; }, FactLimit));
  Server.reset();
  EXPECT_TRUE(Client.WaitClosed());
  EXPECT_FALSE(Accepts(Port));
}

TEST(ServerActivation, DestructionOutlastsATimeoutWithoutCrashing) {
  // A peer thread that outlives TerminateWaitTime still uses the server (its events, its list,
  // its manager): the destructor waits for it instead of leaving it a freed server.
  TEventLog Ends;
  auto Server = std::make_unique<TIdTCPServer>(nullptr);
  Server->SetTerminateWaitTime(0);
  Server->OnExecute = [&](TIdPeerThread& AThread) {
    TIdTCPServerConnection& Connection = *AThread.PeerConnection();
    // Busy until the server drops the connection, and a little beyond, so that the thread is
    // usually still running when the wait gives up (the assertions hold either way).
    while (!Connection.PeerClosed())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  Server->OnDisconnect = [&](TIdPeerThread&) { Ends.Add("end"); };
  const int32_t Port = StartOnLoopback(*Server);
  TRawPeer Client(Port);
  ASSERT_TRUE(WaitFor([&] { return Server->PeerThreadCount() == 1; }, FactLimit));
  Server.reset();
  EXPECT_EQ(Ends.Count(), 1u) << "the peer thread ended before the server went";
  EXPECT_TRUE(Client.WaitClosed());
}

TEST(ServerActivation, PrepareCommandHandlersRunsOnlyAtTheFirstActivation) {
  TCountingServer Server(nullptr);
  ServeByReading(Server);
  StartOnLoopback(Server);
  Server.SetActive(false);
  Server.SetActive(true);
  Server.SetActive(false);
  EXPECT_EQ(Server.Prepared, 1);
}

TEST(ServerActivation, ImplicitThreadMgrIsMadeOnReadAndFreedWhenReplaced) {
  TIdTCPServer Server(nullptr);
  TIdThreadMgr* Implicit = Server.ThreadMgr();
  ASSERT_NE(Implicit, nullptr);
  EXPECT_EQ(Server.ThreadMgr(), Implicit) << "made once";
  TRemovalProbe ImplicitProbe(Implicit);

  TIdThreadMgrDefault Mine(nullptr);
  Server.SetThreadMgr(&Mine);
  EXPECT_TRUE(ImplicitProbe.Removed) << "the implicit manager is freed";
  EXPECT_EQ(Server.ThreadMgr(), &Mine);

  TRemovalProbe MineProbe(&Mine);
  Server.SetThreadMgr(nullptr);
  EXPECT_FALSE(MineProbe.Removed) << "a manager of the application is never freed";
}

TEST(ServerActivation, ImplicitThreadMgrGoesWithTheLastPeerAtDeactivation) {
  TIdTCPServer Server(nullptr);
  ServeByReading(Server);
  StartOnLoopback(Server);
  TRemovalProbe Probe(Server.ThreadMgr());
  Server.SetActive(false);
  EXPECT_TRUE(Probe.Removed);
}

TEST(ServerActivation, RemovedComponentsAreForgotten) {
  TIdTCPServer Server(nullptr);
  auto Manager = std::make_unique<TIdThreadMgrDefault>(nullptr);
  auto Handler = std::make_unique<TIdServerIOHandlerSocket>(nullptr);
  Server.SetThreadMgr(Manager.get());
  Server.SetIOHandler(Handler.get());
  Manager.reset();
  Handler.reset();
  EXPECT_EQ(Server.IOHandler(), nullptr);
  TIdThreadMgr* Replacement = Server.ThreadMgr();
  ASSERT_NE(Replacement, nullptr);
  Replacement->SetSpawnPriority(TThreadPriority::tpNormal); // a freed manager would fault here

  // The server works with what it makes in their place.
  ServeByReading(Server);
  EXPECT_TRUE(Accepts(StartOnLoopback(Server)));
  EXPECT_NE(Server.IOHandler(), nullptr);
}

TEST(ServerActivation, DestroyingTheThreadMgrUnderRunningPeersDropsThem) {
  TIdTCPServer Server(nullptr);
  auto Manager = std::make_unique<TIdThreadMgrDefault>(nullptr);
  Server.SetThreadMgr(Manager.get());
  ServeByReading(Server);
  const int32_t Port = StartOnLoopback(Server);
  TRawPeer A(Port), B(Port);
  ASSERT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 2; }, FactLimit));

  Manager.reset();
  EXPECT_EQ(Server.PeerThreadCount(), 0) << "their connections were dropped";
  EXPECT_TRUE(A.WaitClosed());
  EXPECT_TRUE(B.WaitClosed());
  EXPECT_TRUE(WaitFor([] { return LiveThreadCount() == 1; }, FactLimit))
      << "the peer threads freed themselves; the listener is left";
  TRawPeer C(Port);
  EXPECT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 1; }, FactLimit))
      << "later clients are served through an implicit manager";
}

TEST(ServerActivation, AssigningAnIOHandlerFreesTheImplicitOne) {
  TIdTCPServer Server(nullptr);
  ServeByReading(Server);
  StartOnLoopback(Server);
  Server.SetActive(false);
  ASSERT_NE(Server.IOHandler(), nullptr);
  TRemovalProbe Probe(Server.IOHandler());
  TIdServerIOHandlerSocket Mine(nullptr);
  Server.SetIOHandler(&Mine);
  EXPECT_TRUE(Probe.Removed);
  EXPECT_EQ(Server.IOHandler(), &Mine);
  Server.SetIOHandler(nullptr);
}

namespace {

// A client connection of the framework to AIP:APort, over the version of the address text.
std::unique_ptr<TIdTCPConnection> ConnectTo(const std::string& AIP, int32_t APort) {
  auto Transport = std::make_unique<TIdIOHandlerSocket>(nullptr);
  Transport->OpenIO();
  Transport->ConnectTo(AIP, APort, "", 0, 0, 0, -1);
  auto Connection = std::make_unique<TIdTCPConnection>(nullptr);
  Connection->SetIOHandler(std::move(Transport));
  Connection->SetReadTimeout(10000);
  return Connection;
}

} // namespace

// An IPv4 and an IPv6 binding, or one dual-stack binding: clients of both versions are greeted
// and counted together against MaxConnections; an IPv4 client of the dual-stack binding reads as
// its IPv4 address.
TEST(ServerActivation, ClientsOfBothIPVersionsAreServedAlike) {
  ID_SKIP_WITHOUT_IPV6();
  for (bool DualStack : {false, true}) {
    TIdTCPServer Server(nullptr);
    Server.Greeting().SetCodeAndText(200, "ready");
    Server.SetMaxConnections(2);
    Server.MaxConnectionReply().SetCodeAndText(421, "busy");
    TEventLog Peers;
    Server.OnConnect = [&](TIdPeerThread& T) {
      Peers.Add(T.PeerConnection()->SocketTransport()->SocketHandle()->RemoteIP());
    };
    ServeByReading(Server);
    TIdSocketHandle* IPv6 = Server.Bindings().AddBinding();
    IPv6->SetIPVersion(TIdIPVersion::ivIPv6);
    IPv6->SetDualStack(DualStack);
    IPv6->SetIP(DualStack ? "" : "::1");
    TIdSocketHandle* IPv4 = DualStack ? IPv6 : Server.Bindings().AddBinding();
    if (!DualStack) IPv4->SetIP("127.0.0.1");
    Server.SetActive(true);
    auto First = ConnectTo("127.0.0.1", IPv4->Port());
    auto Second = ConnectTo("::1", IPv6->Port());
    EXPECT_EQ(First->ReadLine(), "200 ready");
    EXPECT_EQ(Second->ReadLine(), "200 ready");
    EXPECT_EQ(ConnectTo("::1", IPv6->Port())->ReadLine(), "421 busy");
    // OnConnect may still be running when its greeting has arrived.
    EXPECT_TRUE(WaitFor([&] { return Peers.CountOf("127.0.0.1") == 1u; }));
    EXPECT_TRUE(WaitFor([&] { return Peers.CountOf("::1") == 1u; }));
    // The clients leave first: a close from another thread wakes no blocked call under Wine.
    First.reset();
    Second.reset();
    EXPECT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 0; }));
    Server.SetActive(false);
  }
}
