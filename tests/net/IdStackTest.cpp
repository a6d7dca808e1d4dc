// SPDX-License-Identifier: MIT
// The platform-independent part of the stack: result checks, error texts, address texts.
#include <gtest/gtest.h>

#include "idframework/net/IdStack.h"
#include "idframework/net/detail/IdStackBSD.h"
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

TEST_F(StackBase, IPv6TextsComeBackInTheirRecommendedForm) {
  const std::pair<const char*, const char*> Cases[] = {
      {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
      {"2001:0db8:0000:0000:0000:ff00:0042:8329", "2001:db8::ff00:42:8329"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},    // the first of two longest runs
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"}, // one zero group stays
      {"::", "::"},
      {"::1", "::1"},
      {"1::", "1::"},
      {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
      {"::ffff:c000:0201", "::ffff:192.0.2.1"},
      {"::FFFF:192.0.2.1", "::ffff:192.0.2.1"},
      {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
      {"fe80::1%eth0", "fe80::1%eth0"},
  };
  for (const auto& [Text, Recommended] : Cases) {
    EXPECT_TRUE(TIdStack::IsIPv6AddressText(Text)) << Text;
    EXPECT_EQ(TIdStack::IPVersionOfText(Text), TIdIPVersion::ivIPv6) << Text;
    TIdIPv6Bytes Bytes{};
    std::string Scope;
    TIdStack::ParseIPv6AddressText(Text, Bytes, Scope);
    EXPECT_EQ(TIdStack::IPv6AddressToText(Bytes, Scope), Recommended) << Text;
  }
}

TEST_F(StackBase, MalformedIPv6TextsAreRefused) {
  for (const char* Bad : {"",
                          ":",
                          ":::",
                          "1:2:3:4:5:6:7",
                          "1:2:3:4:5:6:7:8:9",
                          "1::2::3",
                          "12345::",
                          "g::",
                          "1:",
                          ":1",
                          "::1%",
                          "::1%a b",
                          "::1.2.3",
                          "::1.2.3.04",
                          "::256.1.1.1",
                          "1.2.3.4",
                          "1:2:3:4:5:6:7:1.2.3.4",
                          "::1.2.3.4:5",
                          "1:2:3:4::5:6:7:8",
                          "[::1]"}) {
    EXPECT_FALSE(TIdStack::IsIPv6AddressText(Bad)) << Bad;
    TIdIPv6Bytes Bytes{};
    std::string Scope;
    EXPECT_THROW(TIdStack::ParseIPv6AddressText(Bad, Bytes, Scope), EConvertError) << Bad;
  }
  EXPECT_FALSE(TIdStack::IsIPAddressText("::1")) << "the IPv4 check keeps its meaning";
  EXPECT_EQ(TIdStack::IPVersionOfText("127.0.0.1"), TIdIPVersion::ivIPv4);
  EXPECT_EQ(TIdStack::IPVersionOfText("localhost"), std::nullopt);
}

TEST_F(StackBase, LookupHostShortcutsMakeNoLookup) {
  EXPECT_EQ(FStack.LookupHost("localhost"), "127.0.0.1");
  EXPECT_EQ(FStack.LookupHost("LocalHost"), "127.0.0.1");
  EXPECT_EQ(FStack.LookupHost("10.0.0.1"), "10.0.0.1");
  using V = TIdIPVersion;
  EXPECT_EQ(FStack.LookupHostAddresses("LOCALHOST", TIdIPVersions::vsBoth),
            (TIdIPAddressList{{V::ivIPv6, "::1"}, {V::ivIPv4, "127.0.0.1"}}));
  EXPECT_EQ(FStack.LookupHostAddresses("localhost", TIdIPVersions::vsIPv6),
            (TIdIPAddressList{{V::ivIPv6, "::1"}}));
  // An address text is its own answer, whatever versions were asked for.
  EXPECT_EQ(FStack.LookupHostAddresses("2001:db8::1", TIdIPVersions::vsIPv4),
            (TIdIPAddressList{{V::ivIPv6, "2001:db8::1"}}));
  EXPECT_EQ(FStack.LookupHostAddresses("10.0.0.1", TIdIPVersions::vsIPv6),
            (TIdIPAddressList{{V::ivIPv4, "10.0.0.1"}}));
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
