// SPDX-License-Identifier: MIT
// The stack over BSD sockets, on real loopback sockets.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "idframework/core/IdGlobal.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/net/detail/IdStackBSD.h"
#include "support/RawPeer.h"
#include "tests/net/NetTestSupport.h"

using namespace Id;
using IdTest::TPair;

namespace {

class BSDStack : public testing::Test {
protected:
  TIdStackBSD S;
};

int NativeIntOption(TIdSocketDescriptor ASocket, int ALevel, int AName) {
  int Value = -1;
  socklen_t Length = sizeof(Value);
  ::getsockopt(static_cast<int>(ASocket), ALevel, AName, &Value, &Length);
  return Value;
}

// A connection whose far end was reset (linger 0), with the reset already arrived.
TPair ResetPair(TIdStack& AStack) {
  TPair P = IdTest::ConnectedPair(AStack);
  const uint16_t Linger[2] = {1, 0}; // the Windows linger record: on, 0 seconds
  AStack.CheckSocketResult(
      AStack.SockSetOption(P.Server, Id_SOL_SOCKET, Id_SO_LINGER, Linger, sizeof(Linger)));
  AStack.SockClose(P.Server);
  TIdSocketDescriptorList Read{P.Client};
  EXPECT_EQ(AStack.SockSelect(&Read, nullptr, nullptr, 5000), 1);
  return P;
}

std::string TempFileWith(const std::string& AContent) {
  static int Counter = 0;
  const std::string Name =
      TempDirectory() + "idstack-" + std::to_string(::getpid()) + "-" + std::to_string(Counter++);
  std::ofstream(Name, std::ios::binary) << AContent;
  return Name;
}

// Reads until the peer closes.
std::string ReadAll(TIdStack& AStack, TIdSocketDescriptor ASocket) {
  std::string Result;
  char Buffer[65536];
  for (;;) {
    const int32_t N = AStack.SockRecv(ASocket, Buffer, sizeof(Buffer), 0);
    if (N <= 0) return Result;
    Result.append(Buffer, static_cast<size_t>(N));
  }
}

} // namespace

// ------------------------------------------------------------------------------------------
// Error numbers and texts

TEST(BSDErrorNumbers, ErrnoValuesMapToWindowsSocketsNumbers) {
  EXPECT_EQ(TIdStackBSD::ErrorFromErrno(EINTR), 10004);
  EXPECT_EQ(TIdStackBSD::ErrorFromErrno(EBADF), 10009);
  EXPECT_EQ(TIdStackBSD::ErrorFromErrno(EACCES), 10013);
  EXPECT_EQ(TIdStackBSD::ErrorFromErrno(EAGAIN), 10035);
  EXPECT_EQ(TIdStackBSD::ErrorFromErrno(ENOTSOCK), 10038);
  EXPECT_EQ(TIdStackBSD::ErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(TIdStackBSD::ErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(TIdStackBSD::ErrorFromErrno(EPIPE), 10058);
  EXPECT_EQ(TIdStackBSD::ErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(TIdStackBSD::ErrorFromErrno(ENOTEMPTY), 10066);
}

TEST(BSDErrorNumbers, EveryMappedNumberHasAText) {
  for (int E = 1; E < 134; ++E) {
    const int32_t N = TIdStackBSD::ErrorFromErrno(E);
    if (N < ErrnoErrorBase) {
      EXPECT_STRNE(SocketErrorTextOf(N), "") << "errno " << E;
    }
  }
}

TEST(BSDErrorNumbers, UnmappedErrnoIsStableAndNeverSuccessOrAnotherError) {
  for (int E : {EIO, ENOSYS, EDEADLK, ENOENT, 0}) {
    const int32_t N = TIdStackBSD::ErrorFromErrno(E);
    EXPECT_EQ(N, ErrnoErrorBase + E);
    EXPECT_EQ(N, TIdStackBSD::ErrorFromErrno(E));
    EXPECT_STREQ(SocketErrorTextOf(N), "");
  }
}

TEST(BSDErrorNumbers, LookupFailuresMapToHostNotFound) {
  EXPECT_EQ(TIdStackBSD::ErrorFromLookup(EAI_NONAME, 0), 11001);
  EXPECT_EQ(TIdStackBSD::ErrorFromLookup(EAI_NODATA, 0), 11001);
  EXPECT_EQ(TIdStackBSD::ErrorFromLookup(EAI_SYSTEM, ENOBUFS), 10055);
  EXPECT_NE(TIdStackBSD::ErrorFromLookup(EAI_FAIL, 0), 0);
}

TEST_F(BSDStack, ErrorTextsAddHostNotFoundAndSystemTexts) {
  EXPECT_EQ(S.SockErrorText(11001), "Socket Error # 11001\r\nHost not found.");
  EXPECT_EQ(S.SockErrorText(10061), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(S.SockErrorText(10005), "Socket Error # 10005\r\n");
  const std::string Text = S.SockErrorText(ErrnoErrorBase + EIO);
  EXPECT_EQ(Text.rfind("Socket Error # 20005\r\n", 0), 0u);
  EXPECT_GT(Text.size(), std::string("Socket Error # 20005\r\n").size());
}

TEST_F(BSDStack, RealFailuresReportTheirNumbers) {
  const IdTest::TListener L = IdTest::Listen(S);
  const TIdSocketDescriptor Other = S.NewSocket(Id_SOCK_STREAM, 0);
  EXPECT_EQ(S.SockBind(Other, Id_PF_INET, "127.0.0.1", L.Port), -1);
  EXPECT_EQ(S.SockLastError(), 10048);
  std::string IP;
  int32_t Port = 0;
  EXPECT_EQ(S.SockAccept(Other, IP, Port), InvalidSocketDescriptor); // not listening
  EXPECT_EQ(S.SockLastError(), 10022);
  S.SockClose(L.Socket); // nobody listens on that port any more
  EXPECT_EQ(S.SockConnect(Other, Id_PF_INET, "127.0.0.1", L.Port), -1);
  EXPECT_EQ(S.SockLastError(), 10061);
  S.SockClose(Other);
  char B;
  EXPECT_EQ(S.SockRecv(Other, &B, 1, 0), -1);
  EXPECT_EQ(S.SockLastError(), 10009) << "a closed number is no descriptor any more";
  EXPECT_EQ(S.SockRecv(InvalidSocketDescriptor, &B, 1, 0), -1);
  EXPECT_EQ(S.SockLastError(), 10009);
}

TEST_F(BSDStack, LastErrorIsPerThread) {
  char B;
  EXPECT_EQ(S.SockRecv(InvalidSocketDescriptor, &B, 1, 0), -1);
  int32_t OtherThread = -1;
  std::thread([&] { OtherThread = S.SockLastError(); }).join();
  EXPECT_EQ(OtherThread, 0);
  EXPECT_EQ(S.SockLastError(), 10009);
}

TEST_F(BSDStack, SendingToAResetPeerGivesErrorsNotSIGPIPE) {
  const TPair P = ResetPair(S);
  const char Data[] = "x";
  EXPECT_EQ(S.SockSend(P.Client, Data, 1, 0), -1);
  EXPECT_EQ(S.SockLastError(), 10054);
  // Without MSG_NOSIGNAL this second send kills the process.
  EXPECT_EQ(S.SockSend(P.Client, Data, 1, 0), -1);
  EXPECT_EQ(S.SockLastError(), 10058);
  S.SockClose(P.Client);
}

// ------------------------------------------------------------------------------------------
// Select

TEST_F(BSDStack, SelectRefusesMoreThan64BeforeWaiting) {
  const TPair P = IdTest::ConnectedPair(S);
  TIdSocketDescriptorList TooMany(65, P.Client);
  EXPECT_THROW(S.SockSelect(&TooMany, nullptr, nullptr, TimeoutInfinite), EIdStackSetSizeExceeded);
  EXPECT_THROW(S.SockSelect(nullptr, &TooMany, nullptr, TimeoutInfinite), EIdStackSetSizeExceeded);
  try {
    S.SockSelect(nullptr, nullptr, &TooMany, TimeoutInfinite);
    FAIL() << "no exception";
  } catch (const EIdStackSetSizeExceeded& E) {
    EXPECT_EQ(E.Message(), "Set Size Exceeded.");
  }
  TIdSocketDescriptorList Full(64, P.Client); // writable: proceeds and reports all of them
  EXPECT_EQ(S.SockSelect(nullptr, &Full, nullptr, TimeoutInfinite), 64);
  EXPECT_EQ(Full.size(), 64u);
  IdTest::ClosePair(S, P);
}

TEST_F(BSDStack, SelectTimesOutWithEveryListEmptied) {
  const TPair P = IdTest::ConnectedPair(S);
  TIdSocketDescriptorList Read{P.Client, P.Server};
  TIdSocketDescriptorList Error{P.Client};
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(S.SockSelect(&Read, nullptr, &Error, 50), 0);
  EXPECT_GE(IdTest::ElapsedMs(Start), 40);
  EXPECT_LT(IdTest::ElapsedMs(Start), 5000);
  EXPECT_TRUE(Read.empty());
  EXPECT_TRUE(Error.empty());
  Read = {P.Client};
  EXPECT_EQ(S.SockSelect(&Read, nullptr, nullptr, 0), 0); // a poll
  IdTest::ClosePair(S, P);
}

TEST_F(BSDStack, SelectKeepsOnlyReadyDescriptors) {
  const TPair P = IdTest::ConnectedPair(S);
  const TPair Silent = IdTest::ConnectedPair(S);
  ASSERT_EQ(S.SockSend(P.Server, "hi", 2, 0), 2);
  TIdSocketDescriptorList Read{Silent.Client, P.Client, Silent.Server};
  TIdSocketDescriptorList Write{P.Client, Silent.Client};
  EXPECT_EQ(S.SockSelect(&Read, &Write, nullptr, TimeoutInfinite), 3);
  EXPECT_EQ(Read, TIdSocketDescriptorList{P.Client});
  EXPECT_EQ(Write, (TIdSocketDescriptorList{P.Client, Silent.Client}));
  IdTest::ClosePair(S, P);
  IdTest::ClosePair(S, Silent);
}

TEST_F(BSDStack, PendingConnectionAndPeerCloseAreReadable) {
  const IdTest::TListener L = IdTest::Listen(S);
  TIdSocketDescriptorList Read{L.Socket};
  EXPECT_EQ(S.SockSelect(&Read, nullptr, nullptr, 0), 0);
  const TIdSocketDescriptor C = S.NewSocket(Id_SOCK_STREAM, 0);
  ASSERT_EQ(S.SockConnect(C, Id_PF_INET, "127.0.0.1", L.Port), 0);
  Read = {L.Socket};
  EXPECT_EQ(S.SockSelect(&Read, nullptr, nullptr, TimeoutInfinite), 1);
  std::string IP;
  int32_t Port = 0;
  const TIdSocketDescriptor Served = S.SockAccept(L.Socket, IP, Port);
  S.SockClose(Served);
  Read = {C};
  EXPECT_EQ(S.SockSelect(&Read, nullptr, nullptr, TimeoutInfinite), 1);
  char B;
  EXPECT_EQ(S.SockRecv(C, &B, 1, 0), 0);
  S.SockClose(C);
  S.SockClose(L.Socket);
}

TEST_F(BSDStack, SelectFailsForClosedDescriptorsAndBadTimeouts) {
  const TPair P = IdTest::ConnectedPair(S);
  TIdSocketDescriptorList Read{P.Client};
  EXPECT_EQ(S.SockSelect(&Read, nullptr, nullptr, -5), -1);
  EXPECT_EQ(S.SockLastError(), 10022);
  EXPECT_EQ(S.SockSelect(nullptr, nullptr, nullptr, 0), -1);
  S.SockClose(P.Client);
  Read = {P.Client};
  EXPECT_EQ(S.SockSelect(&Read, nullptr, nullptr, TimeoutInfinite), -1);
  EXPECT_EQ(S.SockLastError(), 10038);
  EXPECT_TRUE(Read.empty());
  S.SockClose(P.Server);
}

TEST_F(BSDStack, SelectWorksForDescriptorsAbove1024) {
  rlimit Limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &Limit), 0);
  if (Limit.rlim_max < 2100) GTEST_SKIP() << "the hard limit on open files is below 2100";
  const rlimit Saved = Limit;
  Limit.rlim_cur = std::max<rlim_t>(Limit.rlim_cur, 2100);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &Limit), 0);
  const TPair P = IdTest::ConnectedPair(S);
  const int High = ::fcntl(static_cast<int>(P.Client), F_DUPFD_CLOEXEC, 2000);
  ASSERT_GE(High, 2000);
  const auto HighSocket = static_cast<TIdSocketDescriptor>(High);
  TIdSocketDescriptorList Read{HighSocket};
  EXPECT_EQ(S.SockSelect(&Read, nullptr, nullptr, 0), 0);
  ASSERT_EQ(S.SockSend(P.Server, "x", 1, 0), 1);
  Read = {HighSocket, P.Server};
  EXPECT_EQ(S.SockSelect(&Read, nullptr, nullptr, TimeoutInfinite), 1);
  EXPECT_EQ(Read, TIdSocketDescriptorList{HighSocket});
  S.SockClose(HighSocket);
  IdTest::ClosePair(S, P);
  ::setrlimit(RLIMIT_NOFILE, &Saved);
}

// ------------------------------------------------------------------------------------------
// Options, listening, lookups

TEST_F(BSDStack, OptionsUseTheWindowsNumbering) {
  const TIdSocketDescriptor D = S.NewSocket(Id_SOCK_STREAM, 0);
  EXPECT_EQ(S.SockSetOption(D, Id_SOL_SOCKET, Id_SO_REUSEADDR, &OptionTrue, 4), 0);
  EXPECT_EQ(NativeIntOption(D, SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(S.SockSetOption(D, Id_IPPROTO_TCP, Id_TCP_NODELAY, &OptionTrue, 4), 0);
  EXPECT_EQ(NativeIntOption(D, IPPROTO_TCP, TCP_NODELAY), 1);
  int32_t Value = 0;
  int32_t Length = sizeof(Value);
  EXPECT_EQ(S.SockGetOption(D, Id_SOL_SOCKET, Id_SO_REUSEADDR, &Value, Length), 0);
  EXPECT_NE(Value, 0);
  const uint16_t Linger[2] = {1, 7};
  EXPECT_EQ(S.SockSetOption(D, Id_SOL_SOCKET, Id_SO_LINGER, Linger, 4), 0);
  uint16_t Back[2] = {0, 0};
  Length = 4;
  EXPECT_EQ(S.SockGetOption(D, Id_SOL_SOCKET, Id_SO_LINGER, Back, Length), 0);
  EXPECT_EQ(Back[0], 1);
  EXPECT_EQ(Back[1], 7);
  EXPECT_EQ(S.SockSetOption(D, Id_SOL_SOCKET, 0x7777, &OptionTrue, 4), -1);
  EXPECT_EQ(S.SockLastError(), 10042);
  S.SockClose(D);
}

TEST_F(BSDStack, PendingErrorComesBackAsAWindowsNumber) {
  const TPair P = ResetPair(S);
  int32_t Error = 0;
  int32_t Length = sizeof(Error);
  EXPECT_EQ(S.SockGetOption(P.Client, Id_SOL_SOCKET, Id_SO_ERROR, &Error, Length), 0);
  EXPECT_EQ(Error, 10054);
  S.SockClose(P.Client);
}

TEST_F(BSDStack, ListenQueueHoldsAtLeastTheSystemMaximum) {
  // Asked for 1, the queue still takes every client that connects before anyone accepts.
  const TIdSocketDescriptor L = S.NewSocket(Id_SOCK_STREAM, 0);
  ASSERT_EQ(S.SockBind(L, Id_PF_INET, "127.0.0.1", 0), 0);
  ASSERT_EQ(S.SockListen(L, 1), 0);
  int32_t Family, Port;
  std::string IP;
  S.SockLocalAddress(L, Family, IP, Port);
  std::vector<TIdSocketDescriptor> Clients;
  for (int I = 0; I < 40; ++I) {
    Clients.push_back(S.NewSocket(Id_SOCK_STREAM, 0));
    ASSERT_EQ(S.SockConnect(Clients.back(), Id_PF_INET, "127.0.0.1", Port), 0);
  }
  int Accepted = 0;
  TIdSocketDescriptorList Read{L};
  while (Accepted < 40 && S.SockSelect(&Read, nullptr, nullptr, 2000) == 1) {
    S.SockClose(S.SockAccept(L, IP, Port));
    ++Accepted;
    Read = {L};
  }
  EXPECT_EQ(Accepted, 40);
  for (auto C : Clients)
    S.SockClose(C);
  S.SockClose(L);
}

TEST_F(BSDStack, AddressesOfBothEnds) {
  const TPair P = IdTest::ConnectedPair(S);
  int32_t Family = 0, LocalPort = 0, PeerPort = 0;
  std::string LocalIP, PeerIP;
  S.SockLocalAddress(P.Client, Family, LocalIP, LocalPort);
  EXPECT_EQ(Family, Id_PF_INET);
  S.SockPeerAddress(P.Server, Family, PeerIP, PeerPort);
  EXPECT_EQ(LocalIP, "127.0.0.1");
  EXPECT_EQ(PeerIP, "127.0.0.1");
  EXPECT_EQ(LocalPort, PeerPort);
  IdTest::ClosePair(S, P);
  EXPECT_THROW(S.SockPeerAddress(P.Client, Family, PeerIP, PeerPort), EIdSocketError);
}

TEST_F(BSDStack, BindWithoutAddressBindsToAny) {
  const TIdSocketDescriptor D = S.NewSocket(Id_SOCK_STREAM, 0);
  ASSERT_EQ(S.SockBind(D, Id_PF_INET, "", 0), 0);
  int32_t Family, Port;
  std::string IP;
  S.SockLocalAddress(D, Family, IP, Port);
  EXPECT_EQ(IP, "0.0.0.0");
  EXPECT_GT(Port, 0);
  S.SockClose(D);
}

TEST_F(BSDStack, AServiceThatIsNoNameAndNoNumberIsRefused) {
  EXPECT_EQ(S.SockServicePort("80"), 80);
  try {
    S.SockServicePort("no-such-service");
    FAIL() << "no exception";
  } catch (const EIdInvalidServiceName& E) {
    EXPECT_EQ(E.Message(), "no-such-service is not a valid service.");
  }
}

// ------------------------------------------------------------------------------------------
// The socket list

TEST(BSDSocketList, SixtyFourSlotsAndRemovalByMovingTheLast) {
  auto List = SocketListClass()();
  for (TIdSocketDescriptor D = 1; D <= 64; ++D)
    List->AddSocket(D);
  EXPECT_THROW(List->AddSocket(65), EIdStackSetSizeExceeded);
  EXPECT_EQ(List->SocketCount(), 64);
  auto Small = NewPlatformSocketList();
  Small->AddSocket(5);
  Small->AddSocket(6);
  Small->AddSocket(7);
  Small->RemoveSocket(5);
  ASSERT_EQ(Small->SocketCount(), 2);
  EXPECT_EQ(Small->ItemAt(0), 7u);
  EXPECT_EQ(Small->ItemAt(1), 6u);
  Small->RemoveSocket(42);
  EXPECT_EQ(Small->SocketCount(), 2);
  EXPECT_THROW(Small->ItemAt(2), EIdStackSetSizeExceeded);
  EXPECT_THROW(Small->ItemAt(-1), EIdStackSetSizeExceeded);
}

// ------------------------------------------------------------------------------------------
// Whole-file send

TEST_F(BSDStack, WholeFileSendDeliversTheFile) {
  ASSERT_EQ(FileTransmitter(), &TransmitFileToSocket);
  std::string Content(300000, '\0');
  for (size_t I = 0; I < Content.size(); ++I)
    Content[I] = static_cast<char>(I * 7);
  const std::string Name = TempFileWith(Content);
  const TPair P = IdTest::ConnectedPair(S);
  std::string Received;
  std::thread Reader([&] { Received = ReadAll(S, P.Server); });
  EXPECT_EQ(FileTransmitter()(P.Client, Name), static_cast<int64_t>(Content.size()));
  S.SockClose(P.Client);
  Reader.join();
  EXPECT_TRUE(Received == Content);
  S.SockClose(P.Server);
  std::remove(Name.c_str());
}

TEST_F(BSDStack, WholeFileSendFailuresGiveZero) {
  const TPair P = IdTest::ConnectedPair(S);
  EXPECT_EQ(TransmitFileToSocket(P.Client, TempDirectory() + "idstack-missing-file"), 0);
  IdTest::ClosePair(S, P);
  const std::string Name = TempFileWith("abc");
  EXPECT_EQ(TransmitFileToSocket(P.Client, Name), 0); // closed socket
  std::remove(Name.c_str());
}

TEST_F(BSDStack, WholeFileSendToAResetPeerRaisesNoSIGPIPE) {
  const TPair P = ResetPair(S);
  EXPECT_EQ(S.SockSend(P.Client, "x", 1, 0), -1); // takes the reset; the next write is EPIPE
  const std::string Name = TempFileWith(std::string(100000, 'z'));
  EXPECT_EQ(TransmitFileToSocket(P.Client, Name), 0);
  sigset_t Pending;
  sigpending(&Pending);
  EXPECT_EQ(sigismember(&Pending, SIGPIPE), 0);
  S.SockClose(P.Client);
  std::remove(Name.c_str());
}

// ------------------------------------------------------------------------------------------
// Listening sockets shared by port or handed over

TEST_F(BSDStack, ReusePortLetsListenersShareAPortAndOnlyThem) {
  TIdSocketHandle First, Second, Plain;
  for (TIdSocketHandle* H : {&First, &Second, &Plain}) {
    H->SetReusePort(H != &Plain);
    H->OpenSocket();
    H->SetIP("127.0.0.1");
    H->SetPort(First.Port());
  }
  First.BindLocal();
  First.StartListening(5);
  Second.SetPort(First.Port());
  Second.BindLocal();
  Second.StartListening(5);
  Plain.SetPort(First.Port());
  EXPECT_THROW(Plain.BindLocal(), EIdCouldNotBindSocket);
}

// The test's raw listener stands for the service manager that keeps the socket: closing the
// handle's descriptor (also while an accept waits on it) leaves the owner's socket listening.
TEST_F(BSDStack, AnAdoptedListenerIsSharedAndItsCloseLeavesTheSocketListening) {
  IdTest::TRawListener Owner;
  int32_t Family = 0, Port = 0;
  std::string IP;
  const TIdSocketDescriptor Handed = S.SockAdoptListening(Owner.Fd(), Family, IP, Port);
  ASSERT_NE(Handed, InvalidSocketDescriptor);
  EXPECT_EQ(IP + ":" + std::to_string(Port), "127.0.0.1:" + std::to_string(Owner.Port()));
  IdTest::TRawPeer NotListening;
  NotListening.Open();
  EXPECT_EQ(S.SockAdoptListening(NotListening.Fd(), Family, IP, Port), InvalidSocketDescriptor);
  TIdSocketHandle Listener, Served;
  Listener.AdoptListening(Handed);
  EXPECT_TRUE(Listener.IsShared());
  EXPECT_EQ(Listener.Port(), Owner.Port());
  IdTest::TRawPeer Client(Owner.Port());
  ASSERT_TRUE(Served.AcceptFrom(Listener));
  EXPECT_EQ(Served.RemotePort(), IdTest::Raw::LocalPort(Client.Fd()));
  std::atomic<bool> Accepting{false};
  std::thread Waiting([&] {
    TIdSocketHandle Next;
    Accepting = true;
    EXPECT_FALSE(Next.AcceptFrom(Listener));
  });
  ASSERT_TRUE(IdTest::WaitFor([&] { return Accepting.load(); }));
  Listener.CloseDescriptor();
  Waiting.join();
  IdTest::TRawPeer Later(Owner.Port());
  EXPECT_TRUE(Owner.Accept().IsOpen());
}
