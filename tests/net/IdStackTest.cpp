// The platform-independent part of the stack: result checks, error texts, address texts.
#include <gtest/gtest.h>

#include "net/IdStack.h"
#include "net/detail/IdStackBSD.h"
#include "support/FakeStack.h"

using namespace Id;

namespace {

class StackBase : public testing::Test {
protected:
  void TearDown() override { IdTest::TFakeStack::NextError = 0; }
  IdTest::TFakeStack FStack;
};

} // namespace

TEST_F(StackBase, ResultsOtherThanFailureLeaveTheLastErrorAlone) {
  IdTest::TFakeStack::NextError = 10048;
  ASSERT_TRUE(FStack.CheckSocketResult(-1, {10048}));
  IdTest::TFakeStack::NextError = 10013;
  EXPECT_FALSE(FStack.CheckSocketResult(0));
  EXPECT_FALSE(FStack.CheckSocketResult(5, {10013}));
  EXPECT_EQ(FStack.LastSocketError(), 10048);
}

TEST_F(StackBase, IgnoredErrorIsRecordedAndReported) {
  IdTest::TFakeStack::NextError = 10048;
  EXPECT_TRUE(FStack.CheckSocketResult(-1, {10004, 10048}));
  EXPECT_EQ(FStack.LastSocketError(), 10048);
}

TEST_F(StackBase, OtherErrorRaisesWithNumberAndText) {
  IdTest::TFakeStack::NextError = 10013;
  try {
    FStack.CheckSocketResult(-1, {10048});
    FAIL() << "no exception";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.SocketErrorCode(), 10013);
    EXPECT_EQ(E.Message(), "Socket Error # 10013\r\nAccess denied.");
  }
  EXPECT_EQ(FStack.LastSocketError(), 10013);
}

TEST_F(StackBase, ErrorTextsKeepTheirExactForm) {
  EXPECT_EQ(FStack.SockErrorText(10061), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(FStack.SockErrorText(10035), "Socket Error # 10035\r\nOperation would block. ");
  EXPECT_EQ(FStack.SockErrorText(10066), "Socket Error # 10066\r\nDirectory not empty");
  EXPECT_EQ(FStack.SockErrorText(10005), "Socket Error # 10005\r\n");
  EXPECT_EQ(FStack.SockErrorText(11001), "Socket Error # 11001\r\n");
}

TEST_F(StackBase, AddressTextChecks) {
  for (const char* Good : {"0.0.0.0", "255.255.255.255", "010.001.1.1", "127.0.0.1"})
    EXPECT_TRUE(TIdStack::IsIPAddressText(Good)) << Good;
  for (const char* Bad : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "a.b.c.d", "", "1..2.3", "1.2.3.4 ",
                          "-1.2.3.4", "1.2.3.4."})
    EXPECT_FALSE(TIdStack::IsIPAddressText(Bad)) << Bad;
}

TEST_F(StackBase, ParseAddressTextCutsFourPartsWithoutRangeTest) {
  TIdIPv4Bytes B{};
  FStack.ParseAddressText("1.2.3.4.5", B);
  EXPECT_EQ(B, (TIdIPv4Bytes{1, 2, 3, 4}));
  FStack.ParseAddressText("300.0.0.1", B);
  EXPECT_EQ(B, (TIdIPv4Bytes{44, 0, 0, 1}));
  EXPECT_THROW(FStack.ParseAddressText("1.2.x.4", B), EConvertError);
  EXPECT_THROW(FStack.ParseAddressText("1.2.3", B), EConvertError);
}

TEST_F(StackBase, AddressBytesAndTextRoundTrip) {
  EXPECT_EQ(FStack.AddressToText({127, 0, 0, 1}), "127.0.0.1");
  const uint32_t Value = FStack.TextToAddress("192.168.0.7");
  const auto* Bytes = reinterpret_cast<const uint8_t*>(&Value);
  EXPECT_EQ(Bytes[0], 192);
  EXPECT_EQ(Bytes[3], 7);
}

TEST_F(StackBase, LookupHostShortcutsMakeNoLookup) {
  EXPECT_EQ(FStack.LookupHost("localhost"), "127.0.0.1");
  EXPECT_EQ(FStack.LookupHost("LocalHost"), "127.0.0.1");
  EXPECT_EQ(FStack.LookupHost("10.0.0.1"), "10.0.0.1");
  EXPECT_EQ(FStack.Lookups, 0);
}

TEST_F(StackBase, LookupHostOfANameAsksTheStack) {
  IdTest::TFakeStack::NextError = 11001;
  EXPECT_THROW(FStack.LookupHost("example"), EIdSocketError);
  EXPECT_EQ(FStack.Lookups, 1);
}

TEST_F(StackBase, RefusedSocketRaisesWithoutTouchingTheLastError) {
  IdTest::TFakeStack::NextError = 10024;
  try {
    FStack.NewSocket(Id_SOCK_STREAM, 0);
    FAIL() << "no exception";
  } catch (const EIdInvalidSocket& E) {
    EXPECT_EQ(E.Message(), "Cannot allocate socket.");
  }
  EXPECT_EQ(FStack.LastSocketError(), 0);
}

TEST(StackPlatform, RefusedSocketRaisesOnThePlatformToo) {
  TIdStackBSD Stack;
  EXPECT_THROW(Stack.NewSocket(99, 0), EIdInvalidSocket);
}
