// SPDX-License-Identifier: MIT
#include "idframework/connection/IdBuffers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "idframework/core/IdException.h"

using namespace Id;

namespace {

struct TDropLog {
  std::vector<int32_t> Counts;
  TIdBytesDroppedEvent Event() {
    return [this](TIdSimpleBuffer*, int32_t ACount) { Counts.push_back(ACount); };
  }
};

void Append(TStream& ABuffer, const std::string& AData) {
  ABuffer.Seek(0, TSeekOrigin::soEnd);
  ABuffer.WriteBuffer(AData.data(), static_cast<int32_t>(AData.size()));
}

std::string Pattern(size_t ACount) {
  std::string S(ACount, '\0');
  for (size_t I = 0; I < ACount; ++I)
    S[I] = static_cast<char>('a' + I % 26);
  return S;
}

} // namespace

TEST(SimpleBuffer, TakeBytesMovesTheRestToTheFront) {
  TDropLog Log;
  TIdSimpleBuffer B(Log.Event());
  Append(B, "hello world");
  EXPECT_EQ(B.TakeBytes(6), "hello ");
  EXPECT_EQ(B.Size(), 5);
  EXPECT_EQ(std::string(B.Memory(), 5), "world");
  EXPECT_EQ(B.TakeBytes(5), "world");
  EXPECT_EQ(B.Memory(), nullptr) << "full consumption releases the block";
  EXPECT_EQ(Log.Counts, (std::vector<int32_t>{6, 5}));
}

TEST(SimpleBuffer, TooManyBytesRaisesWithoutChangeOrNotice) {
  TDropLog Log;
  TIdSimpleBuffer B(Log.Event());
  Append(B, "abc");
  try {
    B.DropBytes(4);
    FAIL();
  } catch (const EIdNotEnoughDataInBuffer& E) {
    EXPECT_STREQ(E.what(), "Not enough data in buffer.");
  }
  EXPECT_EQ(B.Size(), 3);
  EXPECT_TRUE(Log.Counts.empty());
}

TEST(ManagedBuffer, ConsumptionAdvancesTheOffsetWithoutMoving) {
  TDropLog Log;
  TIdManagedBuffer B(Log.Event());
  Append(B, "0123456789");
  const char* Block = B.Memory();
  EXPECT_EQ(B.TakeBytes(4), "0123");
  EXPECT_EQ(B.Size(), 6);
  EXPECT_EQ(B.ReadOffset(), 4);
  EXPECT_EQ(B.Memory(), Block);
  EXPECT_EQ(std::string(B.UnreadStart(), 6), "456789");
  EXPECT_EQ(B.TakeBytes(6), "456789");
  EXPECT_EQ(B.Size(), 0);
  EXPECT_EQ(B.ReadOffset(), 0);
  EXPECT_EQ(B.Memory(), Block) << "a small block stays for the next line";
  EXPECT_EQ(Log.Counts, (std::vector<int32_t>{4, 6}));
  Append(B, Pattern(B.KeptBlock + 1));
  B.DropBytes(static_cast<int32_t>(B.KeptBlock + 1));
  EXPECT_EQ(B.Memory(), nullptr) << "a large one goes";
}

TEST(ManagedBuffer, CompactsAtTheThreshold) {
  const std::string Data = Pattern(40000);
  TIdManagedBuffer A;
  Append(A, Data);
  A.DropBytes(32768);
  EXPECT_EQ(A.Size(), 7232);
  EXPECT_EQ(A.ReadOffset(), 0);
  EXPECT_EQ(std::string(A.UnreadStart(), 7232), Data.substr(32768));

  TIdManagedBuffer B;
  Append(B, Data);
  B.DropBytes(32767);
  EXPECT_EQ(B.ReadOffset(), 32767);
  B.DropBytes(1);
  EXPECT_EQ(B.ReadOffset(), 0);
  EXPECT_EQ(B.Size(), 7232);
  EXPECT_EQ(B.TakeBytes(3), Data.substr(32768, 3));
}

TEST(ManagedBuffer, TakeZeroReportsZero) {
  TDropLog Log;
  TIdManagedBuffer B(Log.Event());
  EXPECT_EQ(B.TakeBytes(0), "");
  Append(B, "x");
  EXPECT_EQ(B.TakeBytes(0), "");
  EXPECT_EQ(Log.Counts, (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(B.Size(), 1);
}

TEST(ManagedBuffer, TooManyBytesLeavesEverything) {
  TDropLog Log;
  TIdManagedBuffer B(Log.Event());
  Append(B, "xy0123456789");
  B.DropBytes(2);
  Log.Counts.clear();
  EXPECT_THROW(B.TakeBytes(11), EIdNotEnoughDataInBuffer);
  EXPECT_EQ(B.Size(), 10);
  EXPECT_EQ(B.ReadOffset(), 2);
  EXPECT_EQ(std::string(B.UnreadStart(), 10), "0123456789");
  EXPECT_TRUE(Log.Counts.empty());
}

TEST(ManagedBuffer, SeekIsRelativeToTheUnreadBytes) {
  TIdManagedBuffer B;
  Append(B, "abcdefghij");
  B.DropBytes(5);
  EXPECT_EQ(B.Seek(0, TSeekOrigin::soBeginning), 0);
  char C = 0;
  B.ReadBuffer(&C, 1);
  EXPECT_EQ(C, 'f') << "position 0 is the first unread byte";
  EXPECT_EQ(B.Seek(0, TSeekOrigin::soEnd), 5);
  EXPECT_EQ(B.Seek(-100, TSeekOrigin::soCurrent), 0) << "consumed bytes are out of reach";
  Append(B, "KL");
  EXPECT_EQ(B.Size(), 7);
  EXPECT_EQ(B.TakeBytes(7), "fghijKL");
}

TEST(ManagedBuffer, ClearAllFiresNothing) {
  TDropLog Log;
  TIdManagedBuffer B(Log.Event());
  Append(B, "abc");
  B.DropBytes(1);
  Log.Counts.clear();
  B.ClearAll();
  EXPECT_EQ(B.Size(), 0);
  EXPECT_EQ(B.ReadOffset(), 0);
  EXPECT_TRUE(Log.Counts.empty());
}

TEST(ManagedBuffer, ManySmallTakesKeepDataIntact) {
  // Appending and consuming in small pieces across several compactions never loses a byte.
  const std::string Data = Pattern(200000);
  TIdManagedBuffer B;
  std::string Out;
  size_t In = 0;
  while (Out.size() < Data.size()) {
    if (In < Data.size()) {
      const size_t N = std::min<size_t>(1000, Data.size() - In);
      Append(B, Data.substr(In, N));
      In += N;
    }
    const int32_t Take = static_cast<int32_t>(std::min<int64_t>(7, B.Size()));
    Out += B.TakeBytes(Take);
    EXPECT_LT(B.ReadOffset(), B.CompactThreshold());
  }
  EXPECT_EQ(Out, Data);
}
