// SPDX-License-Identifier: MIT
// The input buffer without sockets: where receives land as a transfer turns to bulk and back,
// and that the bytes come out whole and in order whatever block they landed in.
#include "idframework/connection/detail/IdInputBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "idframework/connection/IdIntercept.h"

using namespace Id;

namespace {

// Stands for one receive: puts up to ABytes.size() bytes into the space the buffer offers.
int32_t Receive(TIdInputBuffer& ABuffer, char* AResting, const std::string& ABytes,
                TIdReceiveSpace& ASpace, TIdConnectionIntercept* AIntercept = nullptr) {
  ASpace = ABuffer.ReceiveSpace(32768, AResting, AIntercept != nullptr);
  const auto N = static_cast<int32_t>(std::min<size_t>(ABytes.size(), size_t(ASpace.Length)));
  std::memcpy(ASpace.Block, ABytes.data(), static_cast<size_t>(N));
  return ABuffer.Commit(ASpace, N, AIntercept, false);
}

std::string Bytes(size_t ACount, char AFirst) {
  std::string S(ACount, '\0');
  for (size_t I = 0; I < ACount; ++I)
    S[I] = static_cast<char>(AFirst + I % 23);
  return S;
}

} // namespace

TEST(InputBuffer, BulkLandsInTheFreeRoomAndAShortReceiveReturnsToTheRestingBlock) {
  TIdInputBuffer Input(nullptr);
  char Resting[TIdInputBuffer::RestingSize];
  TIdReceiveSpace Space;
  std::string Sent;
  auto Send = [&](size_t ACount) {
    const std::string B = Bytes(ACount, static_cast<char>('a' + Sent.size() % 7));
    Sent += B.substr(0, static_cast<size_t>(Receive(Input, Resting, B, Space)));
  };
  Send(5000);
  EXPECT_EQ(Space.Block, Resting) << "nothing flowed yet: the peer may make it wait";
  EXPECT_EQ(Space.Length, TIdInputBuffer::RestingSize);
  for (int32_t Expected : {4096, 8192, 16384, 32768, 32768}) {
    const char* Tail = nullptr;
    Space = Input.ReceiveSpace(32768, Resting, false);
    Tail = Input.Pending().Memory() + Input.Pending().DataSize();
    EXPECT_EQ(Space.Block, Tail) << "bulk lands after the pending bytes";
    EXPECT_EQ(Space.Length, Expected) << "doubling up to the limit";
    const std::string B = Bytes(static_cast<size_t>(Expected), 'A');
    std::memcpy(Space.Block, B.data(), B.size());
    Input.Commit(Space, Expected, nullptr, false);
    Sent += B;
  }
  Send(10);
  EXPECT_NE(Space.Block, Resting) << "still bulk when it began";
  Send(10);
  EXPECT_EQ(Space.Block, Resting) << "a receive that did not fill ends the bulk";
  std::string Got;
  Input.TakeAllInto(Got);
  EXPECT_EQ(Got, Sent);
}

TEST(InputBuffer, AnInterceptSeesEachReceiveAloneAndItsOutputBecomesPending) {
  TIdInputBuffer Input(nullptr);
  TIdConnectionIntercept Doubler(nullptr);
  int Calls = 0;
  Doubler.OnReceive = [&](TIdConnectionIntercept*, TStream& AStream) {
    ++Calls;
    std::string In(static_cast<size_t>(AStream.Size()), '\0');
    AStream.ReadBuffer(In.data(), static_cast<int32_t>(In.size()));
    const std::string Out = In + In;
    AStream.SetPosition(0);
    AStream.WriteBuffer(Out.data(), static_cast<int32_t>(Out.size()));
  };
  char Resting[TIdInputBuffer::RestingSize];
  TIdReceiveSpace Space;
  const std::string Big = Bytes(TIdInputBuffer::RestingSize, 'k');
  EXPECT_EQ(Receive(Input, Resting, Big, Space, &Doubler), 2 * TIdInputBuffer::RestingSize);
  EXPECT_EQ(Receive(Input, Resting, "xy", Space, &Doubler), 4);
  EXPECT_EQ(Calls, 2);
  std::string Got;
  Input.TakeAllInto(Got);
  EXPECT_EQ(Got, Big + Big + "xyxy");
}

TEST(InputBuffer, ALineSplitAcrossReceivesIsFoundWhereTheSearchStopped) {
  TIdInputBuffer Input(nullptr);
  char Resting[TIdInputBuffer::RestingSize];
  TIdReceiveSpace Space;
  int32_t Searched = 0;
  bool Split = false;
  Receive(Input, Resting, "first\r", Space);
  EXPECT_FALSE(Input.TakeLine("\r\n", 0, TIdMaxLineAction::maException, Searched, Split));
  EXPECT_EQ(Searched, 6);
  Receive(Input, Resting, "\nsecond\n", Space);
  EXPECT_EQ(Input.TakeLine("\r\n", 0, TIdMaxLineAction::maException, Searched, Split), "first");
  Searched = 0;
  EXPECT_EQ(Input.TakeLine("\n", 0, TIdMaxLineAction::maException, Searched, Split), "second");
  EXPECT_FALSE(Split);
}
