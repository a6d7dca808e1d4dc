// SPDX-License-Identifier: MIT
// The Windows stack on real loopback sockets, its select sets and socket list, and the library's
// start-up across stack lifetimes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "idframework/net/IdComponent.h"
#include "support/WaitFor.h"
#include "win/WinTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

class StackWindows : public testing::Test {
protected:
  void SetUp() override {
    FStack = std::make_unique<TIdStackWindows>();
    ReloadIfStarted();
  }
  void TearDown() override { ReloadIfStarted(); }

  TIdStack& S() { return *FStack; }

  TIdSocketDescriptor Listening(int32_t& APort) {
    const TIdSocketDescriptor L = S().NewSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
    S().CheckSocketResult(S().SockBind(L, Id_PF_INET, "127.0.0.1", 0));
    S().CheckSocketResult(S().SockListen(L, 5));
    int32_t Family = 0;
    std::string IP;
    S().SockLocalAddress(L, Family, IP, APort);
    return L;
  }

  // Both ends of one loopback connection, made on this thread.
  std::pair<TIdSocketDescriptor, TIdSocketDescriptor> ConnectedPair() {
    int32_t Port = 0;
    const TIdSocketDescriptor L = Listening(Port);
    const TIdSocketDescriptor Client = S().NewSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
    S().CheckSocketResult(S().SockConnect(Client, Id_PF_INET, "127.0.0.1", Port));
    std::string IP;
    int32_t RemotePort = 0;
    const TIdSocketDescriptor Server = S().SockAccept(L, IP, RemotePort);
    S().CheckSocketResult(static_cast<int32_t>(Server));
    S().SockClose(L);
    return {Client, Server};
  }

  std::string Receive(TIdSocketDescriptor ASocket, size_t ACount) {
    std::string Result;
    char Block[4096];
    while (Result.size() < ACount) {
      const int32_t N = S().SockRecv(ASocket, Block, sizeof(Block), 0);
      if (N <= 0) break;
      Result.append(Block, static_cast<size_t>(N));
    }
    return Result;
  }

private:
  std::unique_ptr<TIdStackWindows> FStack;
};

// What the select entry was last called with, when bound to RecordingSelect.
struct TSelectCall {
  int Calls = 0;
  u_int ReadCount = 0;
  std::optional<timeval> Time;
};
TSelectCall LastSelect;

int RecordingSelect(int, fd_set* ARead, fd_set* AWrite, fd_set* AError, timeval* ATime) {
  ++LastSelect.Calls;
  LastSelect.ReadCount = ARead->fd_count;
  LastSelect.Time = ATime ? std::optional<timeval>(*ATime) : std::nullopt;
  ARead->fd_count = AWrite->fd_count = AError->fd_count = 0;
  return 0;
}

// The select entry bound to RecordingSelect for the life of the object.
class TRecordedSelect {
public:
  TRecordedSelect() {
    LastSelect = {};
    WS2::select.Bind(&RecordingSelect);
  }
  ~TRecordedSelect() { WS2::select.Reset(); }
};

} // namespace

TEST_F(StackWindows, SelectRaisesOnMoreThan64BeforeCallingTheLibrary) {
  TRecordedSelect Recorded;
  TIdSocketDescriptorList TooMany(65, 1);
  try {
    S().SockSelect(&TooMany, nullptr, nullptr, 0);
    FAIL() << "65 descriptors went through";
  } catch (const EIdStackSetSizeExceeded& E) {
    EXPECT_EQ(E.Message(), "Set Size Exceeded.");
  }
  EXPECT_EQ(LastSelect.Calls, 0);

  TIdSocketDescriptorList Full(64, 1);
  EXPECT_EQ(S().SockSelect(&Full, nullptr, nullptr, 0), 0);
  EXPECT_EQ(LastSelect.Calls, 1);
  EXPECT_EQ(LastSelect.ReadCount, 64u);
}

TEST_F(StackWindows, SelectTimeRecordIsSecondsAndMicroseconds) {
  TRecordedSelect Recorded;
  TIdSocketDescriptorList Read{1};
  S().SockSelect(&Read, nullptr, nullptr, 1500);
  ASSERT_TRUE(LastSelect.Time);
  EXPECT_EQ(LastSelect.Time->tv_sec, 1);
  EXPECT_EQ(LastSelect.Time->tv_usec, 500000);

  S().SockSelect(&Read, nullptr, nullptr, 0);
  ASSERT_TRUE(LastSelect.Time);
  EXPECT_EQ(LastSelect.Time->tv_sec, 0);
  EXPECT_EQ(LastSelect.Time->tv_usec, 0);

  S().SockSelect(&Read, nullptr, nullptr, TimeoutInfinite);
  EXPECT_FALSE(LastSelect.Time);

  // Other negative timeouts go to the library as they are.
  S().SockSelect(&Read, nullptr, nullptr, -1500);
  ASSERT_TRUE(LastSelect.Time);
  EXPECT_EQ(LastSelect.Time->tv_sec, -1);
  EXPECT_EQ(LastSelect.Time->tv_usec, -500000);
}

TEST_F(StackWindows, SelectTimeoutEmptiesEveryPresentList) {
  int32_t Port = 0;
  const TIdSocketDescriptor L = Listening(Port);
  TIdSocketDescriptorList Read{L}, Error{L};
  EXPECT_EQ(S().SockSelect(&Read, nullptr, &Error, 0), 0);
  EXPECT_TRUE(Read.empty());
  EXPECT_TRUE(Error.empty());
  S().SockClose(L);
}

TEST_F(StackWindows, SelectReportsAPendingConnectionAsReadable) {
  int32_t Port = 0;
  const TIdSocketDescriptor L = Listening(Port);
  const TIdSocketDescriptor Client = S().NewSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
  S().CheckSocketResult(S().SockConnect(Client, Id_PF_INET, "127.0.0.1", Port));
  TIdSocketDescriptorList Read{L};
  EXPECT_EQ(S().SockSelect(&Read, nullptr, nullptr, 5000), 1);
  EXPECT_EQ(Read, TIdSocketDescriptorList{L});
  S().SockClose(Client);
  S().SockClose(L);
}

TEST_F(StackWindows, LoopbackConnectionCarriesDataAndThePeersClose) {
  int32_t Port = 0;
  const TIdSocketDescriptor L = Listening(Port);
  const TIdSocketDescriptor Client = S().NewSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
  S().CheckSocketResult(S().SockConnect(Client, Id_PF_INET, "127.0.0.1", Port));
  std::string RemoteIP;
  int32_t RemotePort = 0;
  const TIdSocketDescriptor Server = S().SockAccept(L, RemoteIP, RemotePort);
  ASSERT_NE(Server, InvalidSocketDescriptor);

  int32_t Family = 0, ClientPort = 0, PeerPort = 0;
  std::string ClientIP, PeerIP;
  S().SockLocalAddress(Client, Family, ClientIP, ClientPort);
  EXPECT_EQ(Family, Id_PF_INET);
  EXPECT_EQ(RemoteIP, "127.0.0.1");
  EXPECT_EQ(RemotePort, ClientPort);
  S().SockPeerAddress(Client, Family, PeerIP, PeerPort);
  EXPECT_EQ(PeerIP, "127.0.0.1");
  EXPECT_EQ(PeerPort, Port);

  EXPECT_EQ(S().SockSend(Client, "test", 4, 0), 4);
  EXPECT_EQ(Receive(Server, 4), "test");
  S().SockShutdown(Client, Id_SD_Send);
  char Byte;
  EXPECT_EQ(S().SockRecv(Server, &Byte, 1, 0), 0);
  for (TIdSocketDescriptor D : {Client, Server, L})
    S().SockClose(D);
}

TEST_F(StackWindows, RefusedConnectRaisesWithTheWindowsNumberAndText) {
  int32_t Port = 0;
  S().SockClose(Listening(Port));
  const TIdSocketDescriptor Client = S().NewSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
  try {
    S().CheckSocketResult(S().SockConnect(Client, Id_PF_INET, "127.0.0.1", Port));
    FAIL() << "connected to a closed port";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.SocketErrorCode(), 10061);
    EXPECT_EQ(E.Message(), "Socket Error # 10061\r\nConnection refused.");
  }
  EXPECT_EQ(S().LastSocketError(), 10061);
  S().SockClose(Client);
}

TEST_F(StackWindows, CallOnAClosedSocketFailsWithNotASocket) {
  const TIdSocketDescriptor D = S().NewSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
  S().SockClose(D);
  char Byte;
  EXPECT_EQ(S().SockRecv(D, &Byte, 1, 0), SocketErrorResult);
  EXPECT_EQ(S().SockLastError(), 10038);
}

TEST_F(StackWindows, BindWithEmptyAddressBindsToAnyAddress) {
  const TIdSocketDescriptor D = S().NewSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
  S().CheckSocketResult(S().SockBind(D, Id_PF_INET, "", 0));
  int32_t Family = 0, Port = 0;
  std::string IP;
  S().SockLocalAddress(D, Family, IP, Port);
  EXPECT_EQ(IP, "0.0.0.0");
  EXPECT_GT(Port, 0);
  S().SockClose(D);
}

TEST_F(StackWindows, OptionsGoThroughInTheWindowsNumbering) {
  const TIdSocketDescriptor D = S().NewSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
  EXPECT_EQ(S().SockSetOption(D, Id_SOL_SOCKET, Id_SO_REUSEADDR, &OptionTrue, 4), 0);
  int32_t Value = 0, Length = 4;
  EXPECT_EQ(S().SockGetOption(D, Id_SOL_SOCKET, Id_SO_REUSEADDR, &Value, Length), 0);
  EXPECT_EQ(Value, 1);
  S().SockClose(D);
}

TEST_F(StackWindows, HostLookupsGoThroughTheIPv6EntryPoints) {
  EXPECT_EQ(S().SockHostToAddresses("::1", TIdIPVersions::vsBoth),
            (TIdIPAddressList{{TIdIPVersion::ivIPv6, "::1"}}));
  EXPECT_EQ(S().SockHostToAddresses("127.0.0.1", TIdIPVersions::vsIPv4),
            (TIdIPAddressList{{TIdIPVersion::ivIPv4, "127.0.0.1"}}));
  try {
    S().SockHostToAddresses("no-such-host.invalid", TIdIPVersions::vsBoth);
    FAIL() << "a name that does not resolve";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.SocketErrorCode(), 11001);
  }
}

TEST_F(StackWindows, ErrorTextAddsHostNotFound) {
  EXPECT_EQ(S().SockErrorText(11001), "Socket Error # 11001\r\nHost not found.");
  EXPECT_EQ(S().SockErrorText(10061), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(S().SockErrorText(10005), "Socket Error # 10005\r\n");
}

TEST_F(StackWindows, ServicePortFallsBackToTheNumberElseRaises) {
  EXPECT_EQ(S().SockServicePort("80"), 80);
  try {
    S().SockServicePort("no-such-service");
    FAIL() << "an unknown service name was accepted";
  } catch (const EIdInvalidServiceName& E) {
    EXPECT_EQ(E.Message(), "no-such-service is not a valid service.");
  }
}

TEST_F(StackWindows, TransmitFileSendsTheWholeFile) {
  ASSERT_EQ(FileTransmitter(), &TransmitFileToSocket); // Wine reports the NT family
  const auto Path = std::filesystem::temp_directory_path() / "id-transmit-test.bin";
  std::string Content;
  for (int I = 0; I < 100000; ++I)
    Content.push_back(static_cast<char>('a' + I % 26));
  std::ofstream(Path, std::ios::binary) << Content;

  const auto [Client, Server] = ConnectedPair();
  std::string Received;
  std::thread Reader([&, Server = Server] { Received = Receive(Server, Content.size()); });
  EXPECT_EQ(TransmitFileToSocket(Client, Path.string()), static_cast<int64_t>(Content.size()));
  Reader.join();
  EXPECT_EQ(Received, Content);
  EXPECT_EQ(TransmitFileToSocket(Client, Path.string() + ".missing"), 0);
  S().SockClose(Client);
  S().SockClose(Server);
  std::filesystem::remove(Path);
}

TEST_F(StackWindows, LibraryStartsOnlyOnceAcrossStackLifetimes) {
  ASSERT_TRUE(SocketLibraryStarted());
  const HMODULE Loaded = SocketLibraryHandle();
  { TIdStackWindows Second; }
  { TIdStackWindows Third; }
  EXPECT_EQ(SocketLibraryHandle(), Loaded);

  // A start-up attempt would load the library again: none is made once it was started.
  EndSocketLibrary();
  { TIdStackWindows Fourth; }
  EXPECT_EQ(SocketLibraryHandle(), nullptr);
  EXPECT_TRUE(SocketLibraryStarted());
}

TEST(StackWindowsGlobal, FirstComponentMakesAWindowsStack) {
  TIdComponent User(nullptr);
  ReloadIfStarted();
  EXPECT_NE(dynamic_cast<TIdStackWindows*>(GlobalStack()), nullptr);
  EXPECT_NE(dynamic_cast<TIdSocketListWindows*>(SocketListClass()().get()), nullptr);
}

TEST(SocketListWindows, HoldsSixtyFourDescriptors) {
  TIdSocketListWindows L;
  for (TIdSocketDescriptor D = 1; D <= 64; ++D)
    L.AddSocket(D);
  EXPECT_EQ(L.SocketCount(), 64);
  EXPECT_THROW(L.AddSocket(65), EIdStackSetSizeExceeded);
  EXPECT_EQ(L.SocketCount(), 64);
}

TEST(SocketListWindows, RemovingMovesTheLastIntoTheGap) {
  TIdSocketListWindows L;
  for (TIdSocketDescriptor D : {5u, 6u, 7u})
    L.AddSocket(D);
  L.RemoveSocket(5);
  ASSERT_EQ(L.SocketCount(), 2);
  EXPECT_EQ(L.ItemAt(0), 7u);
  EXPECT_EQ(L.ItemAt(1), 6u);
  L.RemoveSocket(99);
  EXPECT_EQ(L.SocketCount(), 2);
  EXPECT_THROW(L.ItemAt(2), EIdStackSetSizeExceeded);
  EXPECT_THROW(L.ItemAt(-1), EIdStackSetSizeExceeded);
}
