// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "connection/ConnectionTestSupport.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "support/WaitFor.h"

using namespace Id;
using IdTest::TConnectedPair;

namespace {

std::vector<std::string> ReadLines(TIdTCPConnection& C, int ACount,
                                   const std::string& ATerminator = std::string()) {
  std::vector<std::string> Lines;
  for (int I = 0; I < ACount; ++I)
    Lines.push_back(C.ReadLine(ATerminator));
  return Lines;
}

template <class E, class F> std::string MessageOf(F AAction) {
  try {
    AAction();
  } catch (const E& Ex) {
    return Ex.what();
  }
  return "<nothing raised>";
}

} // namespace

// Line reading -----------------------------------------------------------------------------

TEST(ReadLine, LineEndsAreCutByteExactly) {
  TConnectedPair P;
  P.Peer.Send("abc\r\nabc\n\r\na\r\r\n");
  EXPECT_EQ(ReadLines(P.Conn, 4), (std::vector<std::string>{"abc", "abc", "", "a\r"}));
  EXPECT_EQ(P.Conn.PendingInput().UnreadCount(), 0);
}

TEST(ReadLine, TwoByteTerminatorStripsNothingMore) {
  TConnectedPair P;
  P.Peer.Send("x\r\ny\r\r\n");
  EXPECT_EQ(ReadLines(P.Conn, 2, "\r\n"), (std::vector<std::string>{"x", "y\r"}));
}

TEST(ReadLine, TwoByteTerminatorSplitAcrossReceivesIsFound) {
  TConnectedPair P;
  P.Conn.SetRecvBufferSize(1);
  P.Peer.Send("ab\r\ncd\r\n");
  EXPECT_EQ(ReadLines(P.Conn, 2, "\r\n"), (std::vector<std::string>{"ab", "cd"}));
}

TEST(ReadLine, LineOfExactlyTheMaximumIsAccepted) {
  TConnectedPair P;
  P.Conn.SetMaxLineLength(4);
  P.Peer.Send("abcd\n");
  EXPECT_EQ(P.Conn.ReadLine(), "abcd");
  EXPECT_FALSE(P.Conn.LineWasSplit());
}

TEST(ReadLine, TooLongLineRaisesAndLeavesTheInput) {
  TConnectedPair P;
  P.Conn.SetMaxLineLength(4);
  P.Peer.Send("abcde\n");
  EXPECT_EQ(MessageOf<EIdReadLnMaxLineLengthExceeded>([&] { P.Conn.ReadLine(); }),
            "Max line length exceeded.");
  EXPECT_EQ(P.Conn.ReadLine("", -1, 0), "abcde") << "the input stays for the next reader";
}

TEST(ReadLine, TooLongLineIsSplitOnRequest) {
  TConnectedPair P;
  P.Conn.SetMaxLineLength(4);
  P.Conn.SetMaxLineAction(TIdMaxLineAction::maSplit);
  P.Peer.Send("abcde\r\nxy\n");
  EXPECT_EQ(P.Conn.ReadLine(), "abcd");
  EXPECT_TRUE(P.Conn.LineWasSplit());
  EXPECT_EQ(P.Conn.ReadLine(), "e");
  EXPECT_FALSE(P.Conn.LineWasSplit());
  EXPECT_EQ(P.Conn.ReadLine(), "xy");
}

TEST(ReadLine, UnterminatedInputBeyondTheLimitIsTooLong) {
  TConnectedPair P;
  P.Conn.SetMaxLineLength(4);
  P.Conn.SetMaxLineAction(TIdMaxLineAction::maSplit);
  P.Peer.Send("123456");
  EXPECT_EQ(P.Conn.ReadLine(), "1234");
  EXPECT_TRUE(P.Conn.LineWasSplit());
}

TEST(ReadLine, ZeroMaximumAcceptsAnyLength) {
  TConnectedPair P;
  P.Conn.SetMaxLineLength(0);
  const std::string Long(200000, 'q');
  std::thread Writer([&] { P.Peer.Send(Long + "\n"); });
  EXPECT_EQ(P.Conn.ReadLine(), Long);
  Writer.join();
}

TEST(ReadLine, LongLineInOneByteReceivesOverASocket) {
  TConnectedPair P;
  P.Conn.SetMaxLineLength(0);
  P.Conn.SetRecvBufferSize(1);
  const std::string Long(65536 + 7, 'L');
  std::thread Writer([&] { P.Peer.Send(Long + "\r\nnext\n"); });
  EXPECT_EQ(P.Conn.ReadLine(), Long);
  EXPECT_EQ(P.Conn.ReadLine(), "next");
  Writer.join();
}

TEST(ReadLine, MegabyteLineInOneByteReceivesIsSearchedOnce) {
  // A search that rescanned the buffered bytes after every receive would take hours here.
  TIdTCPConnection C(nullptr);
  auto* T = new IdTest::TRecordingTransport;
  C.SetIOHandler(std::unique_ptr<TIdIOHandler>(T));
  C.SetMaxLineLength(0);
  std::string Long(1 << 20, '\0');
  for (size_t I = 0; I < Long.size(); ++I)
    Long[I] = static_cast<char>('a' + I % 26);
  T->Incoming = Long + "\r\nnext\n";
  T->MaxPerReceive = 1;
  EXPECT_EQ(C.ReadLine(), Long);
  EXPECT_EQ(T->Receives, (1 << 20) + 2);
  EXPECT_EQ(C.ReadLine(), "next");
}

TEST(ReadLine, AsciiFilterMasksEveryByteOfABlock) {
  TConnectedPair P;
  P.Conn.SetASCIIFilter(true);
  P.Peer.Send("\xC1x\xC1\n");
  EXPECT_EQ(P.Conn.ReadLine(), "AxA");
}

TEST(ReadLine, NonBlankLineSkipsBlankLinesAndTrims) {
  TConnectedPair P;
  P.Peer.Send("\r\n   \t\r\n\n  hello \t\r\n");
  EXPECT_EQ(P.Conn.ReadNonBlankLine(), "hello");
  EXPECT_EQ(P.Conn.ReadNonBlankLine(0), "") << "no tries, no reading";
}

TEST(ReadLine, ReadWorkIsCountedOnConsumption) {
  TConnectedPair P;
  std::vector<int32_t> Totals;
  P.Conn.OnWork = [&](TComponent*, TWorkMode M, int32_t N) {
    if (M == TWorkMode::wkRead) Totals.push_back(N);
  };
  P.Peer.Send("ab\r\ncd");
  P.Conn.NotifyWorkBegin(TWorkMode::wkRead, 0);
  EXPECT_EQ(P.Conn.ReadLine(), "ab");
  EXPECT_EQ(P.Conn.ReadLine("", 50), "");
  P.Conn.NotifyWorkEnd(TWorkMode::wkRead);
  EXPECT_EQ(Totals, (std::vector<int32_t>{4})) << "arrived but unconsumed bytes are not work";
}

// Hostile input ------------------------------------------------------------------------------

TEST(ReadLineLimits, EndlessLineCostsAtMostTheLimitAndOneBlock) {
  TConnectedPair P;
  P.Conn.SetMaxLineLength(1000);
  const int64_t Bound = 1000 + P.Conn.RecvBufferSize();
  std::atomic<bool> Stop{false};
  std::thread Flood([&] {
    const std::string Chunk(65536, 'x');
    try {
      while (!Stop)
        P.Peer.Send(Chunk);
    } catch (const std::exception&) {
    }
  });
  EXPECT_THROW(P.Conn.ReadLine(), EIdReadLnMaxLineLengthExceeded);
  EXPECT_LE(P.Conn.PendingInput().UnreadCount(), Bound);
  // Split mode keeps reading pieces; the buffer never grows past the same bound.
  P.Conn.SetMaxLineAction(TIdMaxLineAction::maSplit);
  int64_t MostUnread = 0, LargestBlock = 0;
  for (int I = 0; I < 2000; ++I) {
    ASSERT_EQ(P.Conn.ReadLine().size(), 1000u);
    MostUnread = std::max(MostUnread, P.Conn.PendingInput().UnreadCount());
    LargestBlock = std::max(LargestBlock, P.Conn.PendingInput().Capacity());
  }
  EXPECT_LE(MostUnread, Bound);
  // The block also holds the consumed bytes awaiting compaction (under 32768) and growth room.
  EXPECT_LE(LargestBlock, 2 * (Bound + 32768));
  Stop = true;
  P.Conn.CloseConnection();
  Flood.join();
}

// Timeouts -----------------------------------------------------------------------------------

TEST(ReadTimeouts, CallerTimeoutReturnsEmptyAndKeepsPartialInput) {
  TConnectedPair P;
  P.Peer.Send("par");
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(P.Conn.ReadLine("", 50), "");
  const auto Elapsed = std::chrono::steady_clock::now() - Start;
  EXPECT_TRUE(P.Conn.LineTimedOut());
  EXPECT_GE(Elapsed, std::chrono::milliseconds(40));
  EXPECT_LT(Elapsed, std::chrono::seconds(5));
  P.Peer.Send("t\n");
  EXPECT_EQ(P.Conn.ReadLine("", 5000), "part");
  EXPECT_FALSE(P.Conn.LineTimedOut());
}

TEST(ReadTimeouts, DefaultTimeoutRaisesReadTimeout) {
  TConnectedPair P;
  P.Conn.SetReadTimeout(50);
  EXPECT_EQ(MessageOf<EIdReadTimeout>([&] { P.Conn.ReadLine(); }), "Read Timeout");
  EXPECT_TRUE(P.Conn.IsConnected());
}

TEST(ReadTimeouts, PollClosedWaitsBrieflyAndTakesWhatIsThere) {
  TConnectedPair P;
  P.Conn.PollClosed(true);
  EXPECT_EQ(P.Conn.PendingInput().UnreadCount(), 0);
  P.Peer.Send("z");
  ASSERT_TRUE(IdTest::WaitFor([&] {
    P.Conn.PollClosed(true);
    return P.Conn.PendingInput().UnreadCount() == 1;
  }));
}

// Peer close and reset -----------------------------------------------------------------------

TEST(PeerClose, BufferedInputIsDrainedBeforeTheClose) {
  TConnectedPair P;
  int Disconnected = 0;
  std::vector<TIdStatus> Statuses;
  P.Conn.OnDisconnected = [&](TComponent*) { ++Disconnected; };
  P.Conn.OnStatus = [&](TComponent*, TIdStatus S, const std::string&) { Statuses.push_back(S); };
  P.Peer.Send("one\ntwo\nthr");
  P.Peer.Close();
  EXPECT_EQ(ReadLines(P.Conn, 2), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(MessageOf<EIdConnClosedGracefully>([&] { P.Conn.ReadLine(); }),
            "Connection Closed Gracefully.");
  EXPECT_EQ(P.Conn.PendingInput().UnreadCount(), 3) << "the partial line stays";
  EXPECT_FALSE(P.Conn.IsConnected());
  EXPECT_EQ(P.Conn.ReadAvailable(), "thr");
  EXPECT_THROW(P.Conn.ReadLine(), EIdConnClosedGracefully);
  EXPECT_EQ(Disconnected, 1);
  EXPECT_EQ(Statuses, (std::vector<TIdStatus>{TIdStatus::stDisconnected}));
}

TEST(PeerClose, ResetSurfacesAsSocketError) {
  TConnectedPair P;
  P.Peer.Reset();
  try {
    P.Conn.ReadLine();
    FAIL() << "nothing raised";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.SocketErrorCode(), 10054);
  }
}

TEST(PeerClose, ReadUntilClosedCollectsEveryBlock) {
  TConnectedPair P;
  int Begins = 0, Ends = 0, Disconnected = 0;
  P.Conn.OnWorkBegin = [&](TComponent*, TWorkMode M, int32_t) { Begins += M == TWorkMode::wkRead; };
  P.Conn.OnWorkEnd = [&](TComponent*, TWorkMode M) { Ends += M == TWorkMode::wkRead; };
  P.Conn.OnDisconnected = [&](TComponent*) { ++Disconnected; };
  std::thread Peer([&] {
    P.Peer.Send("first ");
    P.Peer.Send("second ");
    P.Peer.Send("third");
    P.Peer.Close();
  });
  EXPECT_EQ(P.Conn.ReadUntilClosed(), "first second third");
  Peer.join();
  EXPECT_EQ(Begins, 1);
  EXPECT_EQ(Ends, 1);
  EXPECT_EQ(Disconnected, 1);
}

TEST(PeerClose, ReadAvailableOnAClosedConnectionReturnsTheRest) {
  TConnectedPair P;
  P.Peer.Send("left");
  P.Peer.Close();
  EXPECT_EQ(P.Conn.ReadUntilClosed(), "left");
  EXPECT_EQ(P.Conn.ReadAvailable(), "");
}

TEST(PeerClose, ReaderWithoutTransportIsNotConnected) {
  TIdTCPConnection C(nullptr);
  EXPECT_EQ(MessageOf<EIdNotConnected>([&] { C.ReadLine(); }), "Not Connected");
  EXPECT_EQ(C.FillInputBuffer(false, -1, true), 0);
}

// Replies ------------------------------------------------------------------------------------

TEST(Replies, MultiLineReplyEndsAtTheCodeAndBlank) {
  TConnectedPair P;
  P.Peer.Send("220-first\r\n220-second\r\n220 third\r\n");
  P.Conn.ReadReplyLines();
  EXPECT_EQ(P.Conn.LastReply().NumericCode(), 220);
  EXPECT_EQ(P.Conn.LastReply().Text(), (TStringList{"first", "second", "third"}));
}

TEST(Replies, ShortLineEndsAMultiLineReply) {
  TConnectedPair P;
  P.Peer.Send("220-a\r\nxy\r\n250 next\r\n");
  P.Conn.ReadReplyLines();
  EXPECT_EQ(P.Conn.LastReply().NumericCode(), 220);
  EXPECT_EQ(P.Conn.LastReply().Text().Count(), 2);
  EXPECT_EQ(P.Conn.ReadReply({250}), 250) << "the next reply was left in place";
}

TEST(Replies, SendCommandWritesTheLineAndValidates) {
  TConnectedPair P;
  std::thread Peer([&] {
    if (P.Peer.Receive(6) == "NOOP\r\n") P.Peer.Send("250 ok\r\n");
  });
  EXPECT_EQ(P.Conn.SendCommand("NOOP", {200, 250}), 250);
  Peer.join();
}

TEST(Replies, UnexpectedCodeRaisesWithCodeAndText) {
  TConnectedPair P;
  P.Peer.Send("250-ok\r\n250 fine\r\n");
  try {
    P.Conn.ReadReply({200, 220});
    FAIL() << "nothing raised";
  } catch (const EIdProtocolReplyError& E) {
    EXPECT_EQ(E.ReplyCode(), 250);
    EXPECT_STREQ(E.what(), "ok\r\nfine\r\n");
  }
  EXPECT_EQ(P.Conn.ValidateReplyCode(250, {}), 250);
  EXPECT_EQ(MessageOf<EIdNotConnected>([&] { P.Conn.RaiseReplyErrorAs<EIdNotConnected>(); }),
            "ok\r\nfine\r\n");
}

// Intercepts on the receive side -------------------------------------------------------------

TEST(ReceiveIntercept, EmptiedBlockCountsNothingAndTheReadWaits) {
  TConnectedPair P;
  TIdConnectionIntercept I(nullptr);
  std::atomic<int> Blocks{0};
  I.OnReceive = [&](TIdConnectionIntercept*, TStream& S) {
    if (Blocks++ == 0) S.SetSize(0);
  };
  P.Conn.SetIntercept(&I);
  std::thread Peer([&] {
    P.Peer.Send("dropped");
    IdTest::WaitFor([&] { return Blocks.load() > 0; });
    P.Peer.Send("kept\n");
  });
  EXPECT_EQ(P.Conn.ReadLine(), "kept");
  Peer.join();
}

TEST(ReceiveIntercept, ChainTurnsBytesBackInnerFirst) {
  TConnectedPair P;
  TIdConnectionIntercept Outer(nullptr), Inner(nullptr);
  Outer.SetNestedIntercept(&Inner);
  std::string Order;
  Inner.OnReceive = [&](TIdConnectionIntercept*, TStream& S) {
    Order += "B";
    S.Seek(0, TSeekOrigin::soEnd);
    S.WriteBuffer("!", 1);
  };
  Outer.OnReceive = [&](TIdConnectionIntercept*, TStream& S) {
    Order += "A";
    S.Seek(0, TSeekOrigin::soEnd);
    S.WriteBuffer("\n", 1);
  };
  P.Conn.SetIntercept(&Outer);
  P.Peer.Send("hi");
  EXPECT_EQ(P.Conn.ReadLine(), "hi!");
  EXPECT_EQ(Order, "BA");
}

// A connection that has been waiting receives first into a small block; input that fills it
// moves on to the growing staging block. The intercept and the filter see every byte once, in
// order, on both sides of that change, and the read work counts every byte.
TEST(ReceiveBlocks, InputFillingTheFirstBlockReachesTheReaderWholeThroughInterceptAndFilter) {
  TConnectedPair P;
  P.Conn.SetASCIIFilter(true);
  TIdConnectionIntercept I(nullptr);
  std::vector<int64_t> Blocks;
  std::string Seen;
  I.OnReceive = [&](TIdConnectionIntercept*, TStream& S) {
    Blocks.push_back(S.Size());
    std::string Block(static_cast<size_t>(S.Size()), '\0');
    S.ReadBuffer(Block.data(), static_cast<int32_t>(Block.size()));
    Seen += Block;
  };
  P.Conn.SetIntercept(&I);
  int64_t Work = 0; // OnWork reports the running total of the unit
  P.Conn.OnWork = [&](TComponent*, TWorkMode M, int32_t ATotal) {
    if (M == TWorkMode::wkRead) Work = ATotal;
  };
  std::string Sent;
  for (int K = 0; K < 20000; ++K)
    Sent += static_cast<char>(0x80 | (K % 61 + 33)); // every byte has its top bit set
  P.Peer.Send(Sent);
  P.Peer.Close();

  const std::string Read = P.Conn.ReadUntilClosed();
  std::string Masked = Sent;
  for (char& C : Masked)
    C = static_cast<char>(C & 0x7F);
  EXPECT_EQ(Read, Masked);
  EXPECT_EQ(Seen, Sent) << "the intercept sees the bytes before the filter, each once";
  EXPECT_EQ(Work, static_cast<int64_t>(Sent.size()));
  ASSERT_GE(Blocks.size(), 2u);
  EXPECT_LT(Blocks.front(), Blocks[1]) << "the blocks grow";
}

// A result of several MiB grows over many receives through the bulk reservation: every byte
// arrives once and in order, and the read work counts them all.
// Also at most the next power of two of memory: a result of exactly 8 MiB must not end in a
// block of 16 MiB, filled by one more copy of everything.
TEST(ReceiveBlocks, ReadUntilClosedOfSeveralMebibytesKeepsEveryByteInOrderInLittleMemory) {
  for (const size_t Size : {size_t(9) << 20, size_t(8) << 20}) {
    SCOPED_TRACE(Size);
    TConnectedPair P;
    int64_t Work = 0;
    P.Conn.OnWork = [&](TComponent*, TWorkMode M, int32_t ATotal) {
      if (M == TWorkMode::wkRead) Work = ATotal;
    };
    std::string Sent(Size, '\0');
    for (size_t K = 0; K < Sent.size(); ++K)
      Sent[K] = static_cast<char>((K * 7 + K / 4096) & 0x7F);
    std::thread Peer([&] {
      P.Peer.Send(Sent);
      P.Peer.Close();
    });
    const std::string Read = P.Conn.ReadUntilClosed();
    Peer.join();
    ASSERT_EQ(Read.size(), Sent.size());
    EXPECT_TRUE(Read == Sent) << "first difference at "
                              << std::mismatch(Read.begin(), Read.end(), Sent.begin()).first -
                                     Read.begin();
    EXPECT_EQ(Work, static_cast<int64_t>(Sent.size()));
    EXPECT_LE(Read.capacity(), std::bit_ceil(Size));
  }
}
