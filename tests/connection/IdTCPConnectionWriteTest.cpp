// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "connection/ConnectionTestSupport.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/net/IdStack.h"
#include "support/WaitFor.h"

using namespace Id;
using IdTest::TConnectedPair;
using IdTest::TRecordingTransport;

namespace {

// A connection over a recording transport that it owns.
struct TRecordedConnection {
  TIdTCPConnection Conn{nullptr};
  TRecordingTransport* Transport = new TRecordingTransport;
  TRecordedConnection() { Conn.SetIOHandler(std::unique_ptr<TIdIOHandler>(Transport)); }
};

std::string Bytes(std::initializer_list<int> AValues) {
  std::string S;
  for (int V : AValues)
    S += static_cast<char>(V);
  return S;
}

// A file in the temporary directory, removed at the end of the test.
struct TTempFile {
  std::string Name;
  explicit TTempFile(const std::string& AContent) {
    Name = TempDirectory() + "idconn_" + std::to_string(::getpid()) + "_" +
           std::to_string(reinterpret_cast<uintptr_t>(this)) + ".bin";
    std::ofstream(Name, std::ios::binary) << AContent;
  }
  ~TTempFile() { std::remove(Name.c_str()); }
};

// Replaces the process's whole-file sender for one test.
struct TTransmitterSwap {
  TIdFileTransmitter Saved = FileTransmitter();
  explicit TTransmitterSwap(TIdFileTransmitter ANew) { FileTransmitter() = ANew; }
  ~TTransmitterSwap() { FileTransmitter() = Saved; }
};

// Counts the calls and forwards them to the platform's sender.
TIdFileTransmitter PlatformTransmitter = nullptr;
int TransmitCalls = 0;
int64_t CountingTransmitter(TIdSocketDescriptor ASocket, const std::string& AFileName) {
  ++TransmitCalls;
  return PlatformTransmitter(ASocket, AFileName);
}

} // namespace

// How bytes reach the transport ----------------------------------------------------------------

TEST(WriteCalls, LineGoesOutInOneSend) {
  TRecordedConnection R;
  R.Conn.WriteLine("test");
  EXPECT_EQ(R.Transport->Sends, (std::vector<std::string>{"test\r\n"}));
}

TEST(WriteCalls, EmptyTextSendsNothingAndChecksNothing) {
  TIdTCPConnection C(nullptr);
  EXPECT_NO_THROW(C.WriteText(""));
  EXPECT_THROW(C.WriteText("x"), EIdNotConnected);
}

TEST(WriteCalls, OneBytePerSendLoopsWithWorkPerCall) {
  TRecordedConnection R;
  R.Transport->MaxPerSend = 1;
  std::vector<int32_t> Totals;
  R.Conn.OnWork = [&](TComponent*, TWorkMode M, int32_t N) {
    if (M == TWorkMode::wkWrite) Totals.push_back(N);
  };
  R.Conn.NotifyWorkBegin(TWorkMode::wkWrite, 4);
  R.Conn.WriteText("abcd");
  R.Conn.NotifyWorkEnd(TWorkMode::wkWrite);
  EXPECT_EQ(R.Transport->Sends, (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(Totals, (std::vector<int32_t>{1, 2, 3, 4}));
}

TEST(WriteCalls, TransportTakingNothingIsAClosedPeer) {
  TRecordedConnection R;
  R.Transport->Incoming = "unread";
  R.Conn.FillInputBuffer(true, -1, true);
  R.Transport->MaxPerSend = 0;
  EXPECT_THROW(R.Conn.WriteText("x"), EIdConnClosedGracefully);
  EXPECT_TRUE(R.Conn.PeerClosed());
  EXPECT_EQ(R.Transport->CloseCalls, 1);
}

TEST(WriteCalls, SendInterceptMayGrowTheBlock) {
  TRecordedConnection R;
  TIdConnectionIntercept I(nullptr);
  I.OnSend = [](TIdConnectionIntercept*, TStream& S) {
    S.Seek(0, TSeekOrigin::soEnd);
    S.WriteBuffer("+tail", 5);
  };
  R.Conn.SetIntercept(&I);
  R.Conn.WriteText("head");
  EXPECT_EQ(R.Transport->AllSent(), "head+tail");
}

TEST(WriteCalls, IntegersInNetworkOrderOrAsStored) {
  TRecordedConnection R;
  R.Conn.WriteInt32(0x01020304);
  R.Conn.WriteInt32(0x01020304, false);
  const uint32_t Host = 0x01020304;
  EXPECT_EQ(R.Transport->AllSent(),
            Bytes({1, 2, 3, 4}) + std::string(reinterpret_cast<const char*>(&Host), 4));
}

TEST(WriteCalls, DotTerminatedLinesDoubleOnlyALoneDot) {
  TRecordedConnection R;
  R.Conn.WriteDotTerminatedLines(TStringList{"a", ".", ".b"});
  R.Conn.WriteDotTerminatedLines(TStringList{});
  EXPECT_EQ(R.Transport->AllSent(), "a\r\n..\r\n.b\r\n.\r\n.\r\n");
}

TEST(WriteCalls, ReplyIsSentOnlyWithContent) {
  TRecordedConnection R;
  TIdRFCReply Empty, Ok;
  Ok.SetCodeAndText(250, "ok");
  R.Conn.WriteReply(Empty);
  R.Conn.WriteReply(Ok);
  EXPECT_EQ(R.Transport->AllSent(), "250 ok\r\n");
}

// Streams and files ----------------------------------------------------------------------------

TEST(WriteStreams, LengthPrefixPrecedesTheBytes) {
  TConnectedPair P;
  TMemoryStream S;
  S.WriteBuffer("hello", 5);
  int Begins = 0, Ends = 0;
  P.Conn.OnWorkBegin = [&](TComponent*, TWorkMode, int32_t AMax) { Begins += AMax == 5; };
  P.Conn.OnWorkEnd = [&](TComponent*, TWorkMode) { ++Ends; };
  P.Conn.WriteFromStream(S, true, true, 0);
  EXPECT_EQ(P.Peer.Receive(9), Bytes({0, 0, 0, 5}) + "hello");
  EXPECT_EQ(Begins, 1);
  EXPECT_EQ(Ends, 1);
}

TEST(WriteStreams, CountFromTheCurrentPositionInSmallBlocks) {
  TRecordedConnection R;
  R.Conn.SetSendBufferSize(2);
  TMemoryStream S;
  S.WriteBuffer("0123456789", 10);
  S.SetPosition(3);
  R.Conn.WriteFromStream(S, false, false, 5);
  EXPECT_EQ(R.Transport->Sends, (std::vector<std::string>{"34", "56", "7"}));
}

TEST(WriteStreams, StreamEndingEarlyRaisesNoDataAndClosesTheWork) {
  TRecordedConnection R;
  TMemoryStream S;
  S.WriteBuffer("abc", 3);
  int Ends = 0;
  R.Conn.OnWorkEnd = [&](TComponent*, TWorkMode) { ++Ends; };
  S.SetPosition(0);
  try {
    R.Conn.WriteFromStream(S, false, false, 10);
    FAIL() << "nothing raised";
  } catch (const EIdNoDataToRead& E) {
    EXPECT_STREQ(E.what(), "No data to read.");
  }
  EXPECT_EQ(R.Transport->AllSent(), "abc");
  EXPECT_EQ(Ends, 1);
}

TEST(SendFile, MissingFileNamesIt) {
  TRecordedConnection R;
  try {
    R.Conn.SendFile("x");
    FAIL() << "nothing raised";
  } catch (const EIdFileNotFound& E) {
    EXPECT_STREQ(E.what(), "File \"x\" not found");
  }
  EXPECT_TRUE(R.Transport->Sends.empty());
}

TEST(SendFile, StreamedWhenNoTransmitterIsInstalled) {
  TTransmitterSwap None(nullptr);
  TConnectedPair P;
  const std::string Content(100000, 'f');
  TTempFile F(Content);
  int Begins = 0;
  P.Conn.OnWorkBegin = [&](TComponent*, TWorkMode, int32_t) { ++Begins; };
  EXPECT_EQ(P.Conn.SendFile(F.Name), Content.size());
  EXPECT_EQ(P.Peer.Receive(Content.size()), Content);
  EXPECT_EQ(Begins, 1);
}

TEST(SendFile, WholeFileSenderIsUsedWhenAllowed) {
  ASSERT_NE(FileTransmitter(), nullptr) << "the platform stack installs one";
  TConnectedPair P;
  const std::string Content = "through the platform";
  TTempFile F(Content);
  TransmitCalls = 0;
  int Begins = 0;
  P.Conn.OnWorkBegin = [&](TComponent*, TWorkMode, int32_t) { ++Begins; };
  PlatformTransmitter = FileTransmitter();
  {
    TTransmitterSwap Counting(&CountingTransmitter);
    EXPECT_EQ(P.Conn.SendFile(F.Name), Content.size());
    EXPECT_EQ(TransmitCalls, 1);
    EXPECT_EQ(Begins, 0) << "no work events on this path";
    EXPECT_EQ(P.Conn.SendFile(F.Name, false), Content.size());
    TIdConnectionIntercept I(nullptr);
    P.Conn.SetIntercept(&I);
    EXPECT_EQ(P.Conn.SendFile(F.Name), Content.size());
    P.Conn.SetIntercept(nullptr);
    EXPECT_EQ(TransmitCalls, 1) << "disallowed, or an intercept is set: streamed";
  }
  EXPECT_EQ(P.Peer.Receive(3 * Content.size()), Content + Content + Content);
}

// Closed peers and send failures ---------------------------------------------------------------

TEST(WriteClosed, WriteAfterPeerCloseRaisesEvenWithUnreadInput) {
  TConnectedPair P;
  P.Peer.Send("data");
  P.Peer.Close();
  ASSERT_TRUE(IdTest::WaitFor([&] {
    P.Conn.PollClosed(false);
    return P.Conn.PeerClosed();
  }));
  EXPECT_EQ(P.Conn.PendingInput().UnreadCount(), 4);
  try {
    P.Conn.WriteLine("late");
    FAIL() << "nothing raised";
  } catch (const EIdConnClosedGracefully& E) {
    EXPECT_STREQ(E.what(), "Connection Closed Gracefully.");
  }
}

TEST(WriteClosed, WithoutTransportIsNotConnected) {
  TIdTCPConnection C(nullptr);
  try {
    C.WriteLine("x");
    FAIL() << "nothing raised";
  } catch (const EIdNotConnected& E) {
    EXPECT_STREQ(E.what(), "Not Connected");
  }
}

TEST(WriteClosed, SendToAResetPeerClosesTheTransportAndRaises) {
  TConnectedPair P;
  P.Peer.Reset();
  int32_t Code = 0;
  for (int I = 0; I < 1000 && Code == 0; ++I) {
    try {
      P.Conn.WriteText(std::string(1024, 'r'));
    } catch (const EIdSocketError& E) {
      Code = E.SocketErrorCode();
    }
  }
  EXPECT_TRUE(Code == 10053 || Code == 10054 || Code == 10058) << Code;
  EXPECT_FALSE(P.Conn.IsConnected());
}

// Closing --------------------------------------------------------------------------------------

TEST(CloseConnection, EventsInOrderAndOnce) {
  TConnectedPair P;
  TIdConnectionIntercept I(nullptr);
  std::vector<std::string> Log;
  P.Conn.OnStatus = [&](TComponent*, TIdStatus, const std::string& T) { Log.push_back(T); };
  P.Conn.OnDisconnected = [&](TComponent*) { Log.push_back("OnDisconnected"); };
  I.OnDisconnect = [&](TIdConnectionIntercept*) { Log.push_back("InterceptDisconnect"); };
  P.Conn.SetIntercept(&I);
  P.Conn.CloseConnection();
  EXPECT_EQ(Log, (std::vector<std::string>{"Disconnecting.", "InterceptDisconnect",
                                           "OnDisconnected", "Disconnected."}));
  EXPECT_EQ(P.Conn.IOHandler(), nullptr) << "the owned transport is freed";
  EXPECT_FALSE(P.Conn.OwnsIOHandler());
  P.Conn.CloseConnection();
  EXPECT_EQ(Log.size(), 4u) << "a second close fires nothing";
  EXPECT_EQ(P.Peer.ReadUntilClosed(), "") << "the peer sees the close";
}

TEST(CloseConnection, PeerCloseIsDetectedOnce) {
  TConnectedPair P;
  int Disconnected = 0;
  P.Conn.OnDisconnected = [&](TComponent*) { ++Disconnected; };
  P.Peer.Close();
  ASSERT_TRUE(IdTest::WaitFor([&] {
    P.Conn.PollClosed(false);
    return P.Conn.PeerClosed();
  }));
  EXPECT_FALSE(P.Conn.IsConnected());
  P.Conn.CloseConnection();
  EXPECT_EQ(Disconnected, 1);
}

TEST(CloseConnection, ClearReceiveStateForgetsInputAndTheClose) {
  TRecordedConnection R;
  R.Transport->Incoming = "abc";
  R.Conn.FillInputBuffer(true, -1, true);
  R.Conn.CloseTransport();
  EXPECT_TRUE(R.Conn.PeerClosed());
  R.Conn.ClearReceiveState();
  EXPECT_FALSE(R.Conn.PeerClosed());
  EXPECT_EQ(R.Conn.PendingInput().UnreadCount(), 0);
  EXPECT_EQ(R.Conn.PendingInput().ReadOffset(), 0);
}

// Ownership --------------------------------------------------------------------------------------

namespace {
struct TTrackedTransport : TRecordingTransport {
  bool* Freed;
  explicit TTrackedTransport(bool* AFreed) : Freed(AFreed) {}
  ~TTrackedTransport() override { *Freed = true; }
};
} // namespace

TEST(IOHandlerOwnership, OwnedTransportIsFreedWhenReplaced) {
  bool FirstFreed = false;
  TIdTCPConnection C(nullptr);
  C.SetIOHandler(std::make_unique<TTrackedTransport>(&FirstFreed));
  EXPECT_TRUE(C.OwnsIOHandler());
  TRecordingTransport Second;
  C.SetIOHandler(&Second);
  EXPECT_TRUE(FirstFreed);
  EXPECT_FALSE(C.OwnsIOHandler());
  EXPECT_EQ(C.SocketTransport(), nullptr);
}

TEST(IOHandlerOwnership, BorrowedTransportIsForgottenWhenFreed) {
  TIdTCPConnection C(nullptr);
  auto T = std::make_unique<TRecordingTransport>();
  C.SetIOHandler(T.get());
  T.reset();
  EXPECT_EQ(C.IOHandler(), nullptr);
  EXPECT_FALSE(C.IsConnected());
}

TEST(IOHandlerOwnership, FreedInterceptIsForgotten) {
  TRecordedConnection R;
  auto I = std::make_unique<TIdConnectionIntercept>(nullptr);
  R.Conn.SetIntercept(I.get());
  I.reset();
  EXPECT_EQ(R.Conn.Intercept(), nullptr);
  R.Conn.WriteText("still works");
  EXPECT_EQ(R.Transport->AllSent(), "still works");
}

TEST(IOHandlerOwnership, SocketTransportFollowsTheIOHandler) {
  TConnectedPair P;
  EXPECT_EQ(P.Conn.SocketTransport(), P.Conn.IOHandler());
  bool Freed = false;
  P.Conn.SetIOHandler(std::make_unique<TTrackedTransport>(&Freed));
  EXPECT_EQ(P.Conn.SocketTransport(), nullptr);
}
