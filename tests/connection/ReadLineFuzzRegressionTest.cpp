// SPDX-License-Identifier: MIT
// Inputs the fuzzer found, kept as cases: how received bytes are cut into receives must never
// change what ReadLine returns.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "connection/ConnectionTestSupport.h"
#include "idframework/core/IdException.h"

using namespace Id;
using IdTest::TRecordingTransport;

namespace {

/// A connection reading AInput one byte per receive, with the given line limit.
struct TByteWise {
  TIdTCPConnection Conn{nullptr};

  TByteWise(const std::string& AInput, int32_t AMaxLength, TIdMaxLineAction AAction) {
    auto Transport = std::make_unique<TRecordingTransport>();
    Transport->Incoming = AInput;
    Transport->MaxPerReceive = 1;
    Conn.SetIOHandler(std::move(Transport));
    Conn.SetRecvBufferSize(1);
    Conn.SetMaxLineLength(AMaxLength);
    Conn.SetMaxLineAction(AAction);
  }
};

} // namespace

// The CR of a CR LF arrived, its LF not yet: the line is not known to be too long.
TEST(ReadLineFuzzRegression, LineOfTheLimitWithCrLfArrivingApartIsWhole) {
  TByteWise R("abcde\r\nnext\r\n", 5, TIdMaxLineAction::maException);
  EXPECT_EQ(R.Conn.ReadLine("\r\n"), "abcde");
  EXPECT_FALSE(R.Conn.LineWasSplit());
  EXPECT_EQ(R.Conn.ReadLine("\r\n"), "next");
}

TEST(ReadLineFuzzRegression, SplitPiecesDoNotDependOnTheReceives) {
  TByteWise R("abcde\r\nabcdef\r\n", 5, TIdMaxLineAction::maSplit);
  EXPECT_EQ(R.Conn.ReadLine("\r\n"), "abcde");
  EXPECT_FALSE(R.Conn.LineWasSplit());
  EXPECT_EQ(R.Conn.ReadLine("\r\n"), "abcde");
  EXPECT_TRUE(R.Conn.LineWasSplit());
  EXPECT_EQ(R.Conn.ReadLine("\r\n"), "f");
  EXPECT_FALSE(R.Conn.LineWasSplit());
}

TEST(ReadLineFuzzRegression, LineOneOverTheLimitStillRaisesWithCrLf) {
  TByteWise R("abcdef\r\n", 5, TIdMaxLineAction::maException);
  EXPECT_THROW(R.Conn.ReadLine("\r\n"), EIdReadLnMaxLineLengthExceeded);
  EXPECT_EQ(R.Conn.PendingInput().UnreadCount(), 6) << "decided without waiting for the CR";
}

// With the LF terminator the CR of a CR LF is dropped with it: it does not count either.
TEST(ReadLineFuzzRegression, CrLfAndLfLinesOfTheLimitAreAlikeWithTheLfTerminator) {
  TByteWise R("abcde\r\nabcde\nabcdef\r\n", 5, TIdMaxLineAction::maException);
  EXPECT_EQ(R.Conn.ReadLine(), "abcde");
  EXPECT_EQ(R.Conn.ReadLine(), "abcde");
  EXPECT_THROW(R.Conn.ReadLine(), EIdReadLnMaxLineLengthExceeded);
}
