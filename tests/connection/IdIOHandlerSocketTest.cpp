// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "connection/ConnectionTestSupport.h"
#include "idframework/connection/IdServerIOHandlerSocket.h"
#include "idframework/connection/detail/IdConnectRace.h"
#include "idframework/core/IdException.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/threads/IdThread.h"
#include "net/BlockedCallsLinux.h"
#include "support/ChildProcess.h"
#include "support/IPv6Loopback.h"
#include "support/WaitFor.h"

using namespace Id;
using IdTest::IsProgram;
using IdTest::TChildProcess;
using IdTest::TRawListener;
using IdTest::TRawPeer;
using IdTest::TTempDir;
using IdTest::WriteTextFile;

namespace {

using TClock = std::chrono::steady_clock;

// A worker whose steps only idle: a listener stand-in whose halted state the accept polls.
class TIdleThread : public TIdThread {
public:
  ~TIdleThread() override { TerminateWakeAndWait(); }

protected:
  void RunStep() override { SleepMs(1); }
};

// The loopback address of AFamily (AF_INET or AF_INET6) with APort.
sockaddr_storage Loopback(int AFamily, int32_t APort, socklen_t& ALength) {
  sockaddr_storage A{};
  if (AFamily == AF_INET6) {
    auto& In6 = reinterpret_cast<sockaddr_in6&>(A);
    In6.sin6_family = AF_INET6;
    In6.sin6_addr = in6addr_loopback;
    In6.sin6_port = htons(static_cast<uint16_t>(APort));
    ALength = sizeof(In6);
  } else {
    auto& In = reinterpret_cast<sockaddr_in&>(A);
    In.sin_family = AF_INET;
    In.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    In.sin_port = htons(static_cast<uint16_t>(APort));
    ALength = sizeof(In);
  }
  return A;
}

// A listening socket on the loopback address of AFamily (port APort, 0: any) whose accept queue
// is full, so that a further connect is never answered: its SYN is dropped.
struct TFullListener {
  int32_t Port = 0;
  std::vector<TRawPeer> Held; // the listener, then the queued connects

  explicit TFullListener(int AFamily = AF_INET, int32_t APort = 0) {
    socklen_t Length;
    sockaddr_storage A = Loopback(AFamily, APort, Length);
    Held.push_back(TRawPeer::Adopt(::socket(AFamily, SOCK_STREAM | SOCK_CLOEXEC, 0)));
    const int L = Held.back().Fd();
    if (::bind(L, reinterpret_cast<sockaddr*>(&A), Length) != 0 || ::listen(L, 0) != 0 ||
        ::getsockname(L, reinterpret_cast<sockaddr*>(&A), &Length) != 0)
      throw std::runtime_error("cannot listen");
    Port = ntohs(reinterpret_cast<sockaddr_in&>(A).sin_port); // same place in both records
    for (int I = 0; I < 16; ++I) {
      Held.push_back(TRawPeer::Adopt(::socket(AFamily, SOCK_STREAM | SOCK_NONBLOCK, 0)));
      ::connect(Held.back().Fd(), reinterpret_cast<sockaddr*>(&A), Length); // answer polled for
      pollfd P{Held.back().Fd(), POLLOUT, 0};
      if (::poll(&P, 1, 200) != 1) return; // this one hangs: so will the next
    }
    throw std::runtime_error("the accept queue never filled");
  }
};

// The number of threads of this process that sit in a connect().
int ThreadsInConnect() {
  int Count = 0;
  for (const auto& Task : std::filesystem::directory_iterator("/proc/self/task"))
    Count += IdTest::BlockedIn(std::stoi(Task.path().filename()), {SYS_connect}) ? 1 : 0;
  return Count;
}

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

// A listening binding of the framework on the loopback address of AVersion, port APort (0: a
// platform-chosen one).
struct TListening {
  TIdComponent StackUser{nullptr};
  TIdSocketHandle Handle;
  explicit TListening(TIdIPVersion AVersion = TIdIPVersion::ivIPv4, int32_t APort = 0) {
    Handle.SetIPVersion(AVersion);
    Handle.OpenSocket();
    Handle.SetIP(AVersion == TIdIPVersion::ivIPv6 ? "::1" : "127.0.0.1");
    Handle.SetPort(APort);
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

TEST(SocketConnect, RefusedUnderATimeoutCarriesTheFailureTextAndNumber) {
  const int32_t Port = FreePort();
  TIdIOHandlerSocket T(nullptr);
  T.OpenIO();
  try {
    T.ConnectTo("127.0.0.1", Port, "", 0, 0, 0, 2000);
    FAIL() << "nothing raised";
  } catch (const EIdConnectException& E) {
    EXPECT_EQ(E.Message(), GlobalStack()->SockErrorText(10061));
    EXPECT_EQ(E.SocketErrorCode(), 10061);
  }
}

// Before, the wait slept in slices of 125 ms whatever the connect did.
TEST(SocketConnect, ATimedConnectReturnsAsSoonAsItCompletes) {
  TRawListener L;
  auto Fastest = TClock::duration::max();
  for (int I = 0; I < 3; ++I) {
    TIdIOHandlerSocket T(nullptr);
    T.OpenIO();
    const auto Start = TClock::now();
    T.ConnectTo("127.0.0.1", L.Port(), "", 0, 0, 0, 5000);
    Fastest = std::min(Fastest, TClock::now() - Start);
    L.Accept();
  }
  EXPECT_LT(Fastest, std::chrono::milliseconds(100));
}

TEST(SocketConnect, CloseFromAnotherThreadEndsATimedConnect) {
  TFullListener Full;
  TIdIOHandlerSocket T(nullptr);
  T.OpenIO();
  std::thread Closer([&] {
    EXPECT_TRUE(IdTest::WaitFor([] { return ThreadsInConnect() == 1; }));
    T.CloseIO();
  });
  const auto Start = TClock::now();
  try {
    T.ConnectTo("127.0.0.1", Full.Port, "", 0, 0, 0, 60000);
    ADD_FAILURE() << "nothing raised";
  } catch (const EIdConnectException& E) {
    EXPECT_EQ(E.SocketErrorCode(), 10038);
  }
  Closer.join();
  EXPECT_LT(TClock::now() - Start, std::chrono::seconds(30)) << "ended by the close, not the limit";
  EXPECT_FALSE(T.IsOpen());
}

TEST(SocketConnect, AnIPv6AddressTextConnectsOverIPv6) {
  ID_SKIP_WITHOUT_IPV6();
  TListening L(TIdIPVersion::ivIPv6);
  TIdIOHandlerSocket T(nullptr);
  std::vector<std::string> Statuses;
  T.OnStatus = [&](TComponent*, TIdStatus, const std::string& S) { Statuses.push_back(S); };
  for (int32_t Timeout : {-1, 5000}) {
    T.OpenIO();
    T.ConnectTo("::1", L.Port(), "::1", 0, 0, 0, Timeout);
    EXPECT_EQ(T.SocketHandle()->IPVersion(), TIdIPVersion::ivIPv6);
    EXPECT_EQ(T.SocketHandle()->IP(), "::1");
    EXPECT_EQ(T.SocketHandle()->RemoteIP(), "::1");
  }
  EXPECT_EQ(Statuses, (std::vector<std::string>(2, "Connecting to ::1.")));
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
  EXPECT_EQ(
      MessageOf<EIdConnectTimeout>([&] { T.ConnectTo("127.0.0.1", Full.Port, "", 0, 0, 0, 50); }),
      "Connect timed out.");
  const auto Elapsed = TClock::now() - Start;
  EXPECT_GE(Elapsed, std::chrono::milliseconds(50));
  EXPECT_LT(Elapsed, std::chrono::seconds(5)) << "the pending connect was cut off";
  EXPECT_FALSE(T.IsOpen());
}

TEST(SocketConnect, ALongerTimeoutIsWaitedWhole) {
  TFullListener Full;
  TIdIOHandlerSocket T(nullptr);
  T.OpenIO();
  const auto Start = TClock::now();
  EXPECT_THROW(T.ConnectTo("127.0.0.1", Full.Port, "", 0, 0, 0, 300), EIdConnectTimeout);
  EXPECT_GE(TClock::now() - Start, std::chrono::milliseconds(300));
}

// Racing the addresses of both versions ---------------------------------------------------------

TEST(SocketConnectRace, AddressesTakeTurnsByVersionInTheResolversOrder) {
  using V = TIdIPVersion;
  const TIdIPAddressList Resolved{{V::ivIPv6, "a"}, {V::ivIPv6, "b"}, {V::ivIPv4, "c"},
                                  {V::ivIPv6, "d"}, {V::ivIPv4, "e"}, {V::ivIPv4, "f"}};
  EXPECT_EQ(TIdConnectRace::Interleave(Resolved), (TIdIPAddressList{{V::ivIPv6, "a"},
                                                                    {V::ivIPv4, "c"},
                                                                    {V::ivIPv6, "b"},
                                                                    {V::ivIPv4, "e"},
                                                                    {V::ivIPv6, "d"},
                                                                    {V::ivIPv4, "f"}}));
}

namespace {

// The name the race tests resolve, in the private hosts file of their child process: an IPv6
// address first (the resolver's order), then an IPv4 one.
const char* const RaceHost = "race.test";
const char* const PrivateHostsVariable = "ID_TEST_PRIVATE_HOSTS";

bool InPrivateHosts() {
  return std::getenv(PrivateHostsVariable) != nullptr;
}

// Runs the current test again in a child process that sees a hosts file naming RaceHost as its
// /etc/hosts (a mount namespace of its own; a user namespace too when not root), and takes its
// outcome; the lines of the child that start with "measured:" are shown.
void RunWithPrivateHosts() {
  ID_SKIP_WITHOUT_IPV6();
  if (!IsProgram("/usr/bin/unshare")) GTEST_SKIP() << "unshare is not installed";
  const testing::TestInfo& Info = *testing::UnitTest::GetInstance()->current_test_info();
  TTempDir Dir;
  WriteTextFile(Dir.File("hosts"),
                std::string("::1 ") + RaceHost + "\n127.0.0.1 " + RaceHost + "\n");
  std::vector<std::string> Command{"/usr/bin/unshare", "-m"};
  if (::geteuid() != 0) Command.push_back("-r");
  Command.insert(Command.end(),
                 {std::string("/bin/sh"), std::string("-c"),
                  "mount --bind \"$0\" /etc/hosts && exec env " +
                      std::string(PrivateHostsVariable) + "=1 \"$1\" --gtest_filter=\"$2\"",
                  Dir.File("hosts"), std::filesystem::read_symlink("/proc/self/exe").string(),
                  std::string(Info.test_suite_name()) + "." + Info.name()});
  TChildProcess Child;
  ASSERT_TRUE(Child.Start(Command, Dir.File("log")));
  const int Code = Child.Wait();
  const std::string Log = Child.Log();
  EXPECT_EQ(Code, 0) << Log;
  EXPECT_NE(Log.find("[       OK ]"), std::string::npos) << Log;
  std::istringstream Lines(Log);
  for (std::string Line; std::getline(Lines, Line);)
    if (Line.rfind("measured:", 0) == 0) std::cout << Line << "\n";
}

} // namespace

// The IPv6 address drops the connect (a SYN to a full accept queue), as a broken IPv6 route
// would; the IPv4 one answers. The connect takes about the attempt delay, with and without a
// time limit, and the hanging attempt is closed.
TEST(SocketConnectRace, ADeadFirstAddressCostsOnlyTheAttemptDelay) {
  if (!InPrivateHosts()) return RunWithPrivateHosts();
  TListening Live(TIdIPVersion::ivIPv4);
  TFullListener Dead(AF_INET6, Live.Port());
  for (int32_t Timeout : {10000, -1}) {
    TIdIOHandlerSocket T(nullptr);
    T.SetIPVersions(TIdIPVersions::vsBoth);
    std::vector<std::string> Statuses;
    T.OnStatus = [&](TComponent*, TIdStatus, const std::string& S) { Statuses.push_back(S); };
    T.OpenIO();
    const auto Start = TClock::now();
    T.ConnectTo(RaceHost, Live.Port(), "", 0, 0, 0, Timeout);
    const auto Took = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Start);
    std::cout << "measured: connected with a dead first address in " << Took.count()
              << " ms (limit " << Timeout << ")\n";
    EXPECT_EQ(T.SocketHandle()->RemoteIP(), "127.0.0.1");
    EXPECT_EQ(T.SocketHandle()->IPVersion(), TIdIPVersion::ivIPv4);
    EXPECT_GE(Took, std::chrono::milliseconds(TIdConnectRace::AttemptDelayMs - 10));
    EXPECT_LT(Took, std::chrono::seconds(5)) << "not after the IPv6 attempt's own end";
    EXPECT_EQ(Statuses,
              (std::vector<std::string>{"Resolving hostname race.test.", "Connecting to ::1.",
                                        "Connecting to 127.0.0.1."}));
    EXPECT_EQ(ThreadsInConnect(), 0) << "the losing attempt was closed";
    EXPECT_EQ(T.SendBytes("x", 1), 1);
  }
}

// Both addresses refuse: the race fails at once with the last refusal, as a single connect
// would. Both hang: a close from another thread ends the race.
TEST(SocketConnectRace, ARaceFailsWithTheLastFailureOrEndsOnAClose) {
  if (!InPrivateHosts()) return RunWithPrivateHosts();
  const int32_t Port = FreePort();
  TIdIOHandlerSocket T(nullptr);
  T.SetIPVersions(TIdIPVersions::vsBoth);
  T.OpenIO();
  try {
    T.ConnectTo(RaceHost, Port, "", 0, 0, 0, -1);
    ADD_FAILURE() << "nothing raised";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.SocketErrorCode(), 10061);
  }
  try {
    T.ConnectTo(RaceHost, Port, "", 0, 0, 0, 10000);
    ADD_FAILURE() << "nothing raised";
  } catch (const EIdConnectException& E) {
    EXPECT_EQ(E.SocketErrorCode(), 10061);
  }
  TFullListener Dead4(AF_INET);
  TFullListener Dead6(AF_INET6, Dead4.Port);
  std::thread Closer([&] {
    EXPECT_TRUE(IdTest::WaitFor([] { return ThreadsInConnect() == 2; }));
    T.CloseIO();
  });
  try {
    T.ConnectTo(RaceHost, Dead4.Port, "", 0, 0, 0, -1);
    ADD_FAILURE() << "nothing raised";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.SocketErrorCode(), 10038);
  }
  Closer.join();
  EXPECT_FALSE(T.IsOpen());
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
