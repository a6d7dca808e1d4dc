#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "connection/ConnectionTestSupport.h"
#include "connection/IdServerIOHandlerSocket.h"
#include "core/IdException.h"
#include "net/IdSocketHandle.h"
#include "support/WaitFor.h"
#include "threads/IdThread.h"

using namespace Id;
using IdTest::TRawListener;
using IdTest::TRawPeer;

namespace {

using TClock = std::chrono::steady_clock;

// A worker whose steps only idle: a listener stand-in whose halted state the accept polls.
class TIdleThread : public TIdThread {
public:
  ~TIdleThread() override { TerminateWakeAndWait(); }

protected:
  void RunStep() override { SleepMs(1); }
};

// A listening socket whose accept queue is full, so that a further connect is never answered.
struct TFullListener {
  TRawListener Listener{0};
  std::vector<TRawPeer> Queued;

  TFullListener() {
    for (int I = 0; I < 16; ++I) {
      TRawPeer S = TRawPeer::Adopt(IdTest::Raw::Socket());
      ::fcntl(S.Fd(), F_SETFL, O_NONBLOCK);
      IdTest::Raw::Connect(S.Fd(), Listener.Port()); // pending: the answer is polled for
      pollfd P{S.Fd(), POLLOUT, 0};
      const bool Answered = ::poll(&P, 1, 200) == 1;
      Queued.push_back(std::move(S));
      if (!Answered) return; // this one hangs: so will the next
    }
    throw std::runtime_error("the accept queue never filled");
  }
};

// A port that was free a moment ago.
int32_t FreePort() {
  TRawListener L;
  return L.Port();
}

template <class E, class F> std::string MessageOf(F AAction) {
  try {
    AAction();
  } catch (const E& Ex) {
    return Ex.what();
  }
  return "<nothing raised>";
}

// A listening binding of the framework on 127.0.0.1 with a platform-chosen port.
struct TListening {
  TIdComponent StackUser{nullptr};
  TIdSocketHandle Handle;
  TListening() {
    Handle.OpenSocket();
    Handle.SetIP("127.0.0.1");
    Handle.BindLocal();
    Handle.StartListening(8);
  }
  int32_t Port() const { return Handle.Port(); }
};

std::unique_ptr<TIdIOHandler> AcceptFrom(TListening& L, TIdThread* AThread = nullptr) {
  TIdServerIOHandlerSocket Server(nullptr);
  return Server.AcceptClient(L.Handle, AThread);
}

} // namespace

// Open and closed --------------------------------------------------------------------------------

TEST(SocketTransport, IsOpenFollowsTheSocket) {
  TIdIOHandlerSocket Fresh(nullptr);
  EXPECT_FALSE(Fresh.IsOpen());
  Fresh.OpenIO();
  EXPECT_FALSE(Fresh.IsOpen()) << "OpenIO makes no socket";

  TListening L;
  TRawPeer Client(L.Port());
  auto Accepted = AcceptFrom(L);
  ASSERT_NE(Accepted, nullptr);
  EXPECT_TRUE(Accepted->IsOpen());
  Accepted->CloseIO();
  EXPECT_FALSE(Accepted->IsOpen());
  EXPECT_EQ(Client.ReadUntilClosed(), "") << "the peer sees the close";
}

TEST(SocketTransport, CloseWithNoCallInsideGivesTheNumberBackAtOnce) {
  TListening L;
  TRawPeer Client(L.Port());
  auto Accepted = AcceptFrom(L);
  ASSERT_NE(Accepted, nullptr);
  auto* Socket = dynamic_cast<TIdIOHandlerSocket*>(Accepted.get());
  ASSERT_NE(Socket, nullptr);
  const int Fd = static_cast<int>(Socket->SocketHandle()->Descriptor());
  Accepted->CloseIO();
  // Nothing of the transport can use the number any more: it is not kept parked.
  EXPECT_EQ(::fcntl(Fd, F_GETFD), -1);
  EXPECT_EQ(Client.ReadUntilClosed(), "") << "the peer sees the close";
}

TEST(SocketTransport, ClosedTransportRefusesEveryCall) {
  TListening L;
  TRawPeer Client(L.Port());
  auto T = AcceptFrom(L);
  ASSERT_NE(T, nullptr);
  T->CloseIO();
  char B[4] = {};
  EXPECT_EQ(MessageOf<EIdClosedSocket>([&] { T->SendBytes("x", 1); }), "Disconnected.");
  EXPECT_EQ(MessageOf<EIdClosedSocket>([&] { T->ReceiveBytes(B, 4); }), "Disconnected.");
  EXPECT_EQ(MessageOf<EIdConnClosedGracefully>([&] { T->AwaitReadable(0); }),
            "Connection Closed Gracefully.");
  T->CloseIO(); // a second close does nothing
}

// The receive that waits itself when there is no limit: the same outcomes as a wait and a receive.
TEST(SocketTransport, ReceiveWhenReadableReturnsInputTimesOutAndSeesTheClose) {
  TListening L;
  TRawPeer Client(L.Port());
  auto T = AcceptFrom(L);
  ASSERT_NE(T, nullptr);
  char B[8] = {};
  EXPECT_EQ(T->ReceiveWhenReadable(B, sizeof(B), 10), std::nullopt) << "a limited wait runs out";
  Client.Send("abc");
  EXPECT_EQ(T->ReceiveWhenReadable(B, sizeof(B), TimeoutInfinite), std::optional<int32_t>(3));
  EXPECT_EQ(std::string(B, 3), "abc");
  Client.Close();
  EXPECT_EQ(T->ReceiveWhenReadable(B, sizeof(B), TimeoutInfinite), std::optional<int32_t>(0))
      << "the peer's orderly close";
  T->CloseIO();
  EXPECT_THROW(T->ReceiveWhenReadable(B, sizeof(B), TimeoutInfinite), EIdConnClosedGracefully);
}

// A wait, or a receive that waits, blocked in the socket when another thread closes the
// transport (or the handle under it): each ends as the close it is.
TEST(SocketTransport, CloseFromAnotherThreadEndsABlockedWaitOrReceive) {
  struct TCase {
    const char* Name;
    bool Receive;
    bool ThroughTheHandle;
  };
  for (const TCase& Case : {TCase{"wait, transport closed", false, false},
                            TCase{"receive, transport closed", true, false},
                            TCase{"receive, handle closed", true, true}}) {
    TListening L;
    TRawPeer Client(L.Port());
    auto T = AcceptFrom(L);
    ASSERT_NE(T, nullptr);
    std::thread Closer([&] {
      SleepMs(20); // let the call begin; the outcome does not depend on it
      if (Case.ThroughTheHandle)
        static_cast<TIdIOHandlerSocket&>(*T).SocketHandle()->CloseDescriptor();
      else
        T->CloseIO();
    });
    char B[8] = {};
    if (Case.Receive)
      EXPECT_THROW(T->ReceiveWhenReadable(B, sizeof(B), TimeoutInfinite), EIdConnClosedGracefully)
          << Case.Name;
    else
      EXPECT_THROW(T->AwaitReadable(TimeoutInfinite), EIdConnClosedGracefully) << Case.Name;
    Closer.join();
    EXPECT_FALSE(T->IsOpen()) << Case.Name;
  }
}

// Outgoing connects ----------------------------------------------------------------------------

TEST(SocketConnect, ReportsResolvingAndConnecting) {
  TRawListener L;
  TIdIOHandlerSocket T(nullptr);
  std::vector<std::string> Statuses;
  T.OnStatus = [&](TComponent*, TIdStatus, const std::string& S) { Statuses.push_back(S); };
  T.OpenIO();
  T.ConnectTo("localhost", L.Port(), "", 0, 0, 0, -1);
  EXPECT_TRUE(T.IsOpen());
  EXPECT_EQ(Statuses, (std::vector<std::string>{"Resolving hostname localhost.",
                                                "Connecting to 127.0.0.1."}));
  Statuses.clear();
  T.OpenIO();
  T.ConnectTo("127.0.0.1", L.Port(), "", 0, 0, 0, -1);
  EXPECT_EQ(Statuses, (std::vector<std::string>{"Connecting to 127.0.0.1."}));
}

TEST(SocketConnect, BindsToTheGivenAddressAndPortRange) {
  TRawListener L;
  const int32_t Port = FreePort();
  TIdIOHandlerSocket T(nullptr);
  T.OpenIO();
  T.ConnectTo("127.0.0.1", L.Port(), "127.0.0.1", 0, Port, Port, -1);
  EXPECT_EQ(T.SocketHandle()->IP(), "127.0.0.1");
  EXPECT_EQ(T.SocketHandle()->Port(), Port);
  EXPECT_EQ(T.SocketHandle()->RemotePort(), L.Port());
}

TEST(SocketConnect, NoDelayOnlyWithoutNagle) {
  TRawListener L;
  auto NoDelay = [&](bool AUseNagle) {
    TIdIOHandlerSocket T(nullptr);
    T.SetUseNagle(AUseNagle);
    T.OpenIO();
    T.ConnectTo("127.0.0.1", L.Port(), "", 0, 0, 0, -1);
    int32_t Value = 0, Length = 4;
    GlobalStack()->CheckSocketResult(GlobalStack()->SockGetOption(T.Descriptor(), Id_IPPROTO_TCP,
                                                                  Id_TCP_NODELAY, &Value, Length));
    return Value != 0;
  };
  EXPECT_TRUE(NoDelay(false));
  EXPECT_FALSE(NoDelay(true));
}

TEST(SocketConnect, RefusedWithoutTimeoutIsASocketError) {
  const int32_t Port = FreePort();
  TIdIOHandlerSocket T(nullptr);
  T.OpenIO();
  try {
    T.ConnectTo("127.0.0.1", Port, "", 0, 0, 0, -1);
    FAIL() << "nothing raised";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.SocketErrorCode(), 10061);
  }
}

TEST(SocketConnect, RefusedUnderATimeoutCarriesTheFailureText) {
  const int32_t Port = FreePort();
  TIdIOHandlerSocket T(nullptr);
  T.OpenIO();
  const std::string Expected = GlobalStack()->SockErrorText(10061);
  EXPECT_EQ(
      MessageOf<EIdConnectException>([&] { T.ConnectTo("127.0.0.1", Port, "", 0, 0, 0, 2000); }),
      Expected);
}

TEST(SocketConnect, SucceedsUnderATimeout) {
  TRawListener L;
  TIdIOHandlerSocket T(nullptr);
  T.OpenIO();
  T.ConnectTo("127.0.0.1", L.Port(), "", 0, 0, 0, 5000);
  EXPECT_TRUE(T.IsOpen());
  TRawPeer Peer = L.Accept();
  EXPECT_EQ(T.SendBytes("ok", 2), 2);
  EXPECT_EQ(Peer.Receive(2), "ok");
}

TEST(SocketConnect, UnansweredConnectTimesOut) {
  TFullListener Full;
  TIdIOHandlerSocket T(nullptr);
  T.OpenIO();
  const auto Start = TClock::now();
  EXPECT_EQ(MessageOf<EIdConnectTimeout>(
                [&] { T.ConnectTo("127.0.0.1", Full.Listener.Port(), "", 0, 0, 0, 50); }),
            "Connect timed out.");
  const auto Elapsed = TClock::now() - Start;
  EXPECT_GE(Elapsed, std::chrono::milliseconds(50));
  EXPECT_LT(Elapsed, std::chrono::seconds(5)) << "the pending connect was cut off";
  EXPECT_FALSE(T.IsOpen());
}

TEST(SocketConnect, LongerTimeoutIsWaitedInSlices) {
  TFullListener Full;
  TIdIOHandlerSocket T(nullptr);
  T.OpenIO();
  const auto Start = TClock::now();
  EXPECT_THROW(T.ConnectTo("127.0.0.1", Full.Listener.Port(), "", 0, 0, 0, 300), EIdConnectTimeout);
  EXPECT_GE(TClock::now() - Start, std::chrono::milliseconds(300));
}

// Accepting
// ----------------------------------------------------------------------------------------

TEST(ServerAccept, HaltedListenerGetsNothing) {
  TListening L;
  TRawPeer Client(L.Port());
  TIdleThread Halted; // created suspended: halted
  const auto Start = TClock::now();
  EXPECT_EQ(AcceptFrom(L, &Halted), nullptr);
  EXPECT_LT(TClock::now() - Start, std::chrono::seconds(1));
}

TEST(ServerAccept, RunningListenerWaitsForAClient) {
  TListening L;
  TIdleThread Running;
  Running.StartRunning();
  std::thread Late([&] {
    SleepMs(150); // arrives after at least one 100 ms step
    TRawPeer C(L.Port());
    C.Send("hi");
    C.ReadUntilClosed();
  });
  auto T = AcceptFrom(L, &Running);
  ASSERT_NE(T, nullptr);
  char B[2];
  ASSERT_TRUE(T->AwaitReadable(5000));
  EXPECT_EQ(T->ReceiveBytes(B, 2), 2);
  T->CloseIO();
  Late.join();
  Running.TerminateAndWaitFor();
}

TEST(ServerAccept, ListenerStoppedWhileWaitingReturnsNothing) {
  TListening L;
  if (GlobalStack()->ShutdownWakesAccept())
    GTEST_SKIP() << "the listener waits in the accept: the close of its socket stops it";
  TIdleThread Running;
  Running.StartRunning();
  std::thread Stopper([&] {
    SleepMs(30);
    Running.StopRunning();
  });
  EXPECT_EQ(AcceptFrom(L, &Running), nullptr);
  Stopper.join();
  Running.TerminateAndWaitFor();
}

TEST(ServerAccept, ListenerClosedBeforeOrDuringTheWaitGivesNoConnection) {
  TListening L;
  TIdleThread Running;
  Running.StartRunning();
  std::thread Closer([&] {
    SleepMs(30);
    L.Handle.CloseDescriptor();
  });
  EXPECT_EQ(AcceptFrom(L, &Running), nullptr);
  Closer.join();
  EXPECT_EQ(AcceptFrom(L), nullptr) << "closed before";
  Running.TerminateAndWaitFor();
}

// SOCKS settings ownership
// -------------------------------------------------------------------------

TEST(SocksOwnership, ReadingCreatesOwnSettingsOutsideDesign) {
  TIdIOHandlerSocket T(nullptr);
  TIdSocksInfo* Own = T.SocksInfo();
  ASSERT_NE(Own, nullptr);
  EXPECT_EQ(Own->Owner(), nullptr);
  EXPECT_EQ(Own->OwnerTransport(), &T);
  EXPECT_EQ(T.SocksInfo(), Own);

  TIdIOHandlerSocket Designed(nullptr);
  Designed.SetComponentStateFlag(csDesigning, true);
  EXPECT_EQ(Designed.SocksInfo(), nullptr);
}

TEST(SocksOwnership, SettingsOfAnotherOwnerAreReferredTo) {
  TIdIOHandlerSocket T(nullptr);
  TComponent Form(nullptr);
  auto* Shared = new TIdSocksInfo(&Form);
  T.SetSocksInfo(Shared);
  EXPECT_EQ(T.SocksInfo(), Shared);
  EXPECT_EQ(Shared->OwnerTransport(), &T);
  delete Shared;
  EXPECT_NE(T.SocksInfo(), nullptr) << "the reference was cleared and own settings made";
  EXPECT_EQ(T.SocksInfo()->Owner(), nullptr);
}

TEST(SocksOwnership, OwnerlessSettingsAreCopied) {
  TIdIOHandlerSocket T(nullptr);
  TIdSocksInfo Loose(nullptr);
  Loose.SetVersion(TSocksVersion::svSocks5);
  Loose.SetHost("proxy.test");
  T.SetSocksInfo(&Loose);
  ASSERT_NE(T.SocksInfo(), &Loose);
  EXPECT_EQ(T.SocksInfo()->Host(), "proxy.test");
  EXPECT_EQ(T.SocksInfo()->Version(), TSocksVersion::svSocks5);
  T.SetSocksInfo(nullptr);
  EXPECT_EQ(T.SocksInfo()->Version(), TSocksVersion::svNoSocks) << "fresh settings after none";
}
