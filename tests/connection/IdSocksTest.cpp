// SPDX-License-Identifier: MIT
// SOCKS negotiation against a scripted proxy on loopback: the exact request bytes, every reply
// code, replies split into single bytes, reply address types, early closes, and requests that
// cannot be expressed. The real proxies are in IdSocksProxyTest.cpp.
#include <gtest/gtest.h>

#include <functional>
#include <typeinfo>

#include "IdSocksTestPeers.h"
#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/connection/IdSocks.h"
#include "idframework/core/IdException.h"

using namespace Id;
using IdTest::Bytes;
using IdTest::Hex;
using IdTest::TScriptedProxy;

namespace {

/// A socket transport whose SocksInfo points at a scripted proxy.
class TSocksClient {
public:
  TSocksClient(TSocksVersion AVersion, int32_t AProxyPort) {
    FTransport.OpenIO();
    Socks().SetVersion(AVersion);
    Socks().SetHost("127.0.0.1");
    Socks().SetPort(AProxyPort);
  }
  ~TSocksClient() { FTransport.CloseIO(); }

  TIdSocksInfo& Socks() { return *FTransport.SocksInfo(); }
  TIdIOHandlerSocket& Transport() { return FTransport; }
  void Connect(const std::string& AHost, int32_t APort) {
    FTransport.ConnectTo(AHost, APort, "", 0, 0, 0, -1);
  }
  /// Closes the socket so the proxy sees the end; used before reading what it received.
  void Close() { FTransport.CloseIO(); }

  void Write(const std::string& AText) {
    for (std::size_t Sent = 0; Sent < AText.size();) {
      const int32_t N = FTransport.SendBytes(AText.data() + Sent, int32_t(AText.size() - Sent));
      ASSERT_GT(N, 0);
      Sent += std::size_t(N);
    }
  }
  /// Exactly ALength bytes of the tunnel (fewer when it closes first).
  std::string Read(std::size_t ALength) {
    std::string Result(ALength, '\0');
    std::size_t Got = 0;
    while (Got < ALength) {
      const int32_t N = FTransport.ReceiveBytes(Result.data() + Got, int32_t(ALength - Got));
      if (N <= 0) break;
      Got += std::size_t(N);
    }
    Result.resize(Got);
    return Result;
  }

private:
  TIdIOHandlerSocket FTransport{nullptr};
};

template <class E> bool IsExactly(const std::exception& AException) {
  return typeid(AException) == typeid(E);
}
using TClassCheck = std::function<bool(const std::exception&)>;

/// Runs AAction and requires an exception of exactly the class AIsClass accepts, with AText.
void ExpectFailure(const std::function<void()>& AAction, const TClassCheck& AIsClass,
                   const std::string& AText) {
  try {
    AAction();
    ADD_FAILURE() << "nothing raised; expected \"" << AText << "\"";
  } catch (const Exception& E) {
    EXPECT_TRUE(AIsClass(E)) << "raised " << typeid(E).name() << ": " << E.Message();
    EXPECT_EQ(E.Message(), AText);
  }
}

std::string Port16(int32_t APort) {
  return Bytes({(APort >> 8) & 0xFF, APort & 0xFF});
}

const std::string Granted4 = Bytes({0, 90, 0, 0, 0, 0, 0, 0});

std::string Socks5Connect(const std::string& AHost, int32_t APort) {
  return Bytes({5, 1, 0, 3, int(AHost.size())}) + AHost + Port16(APort);
}
const std::string Socks5Succeeded = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});

} // namespace

// ---- settings -----------------------------------------------------------------------------

TEST(SocksSettings, NoSocksConnectsDirectlyAndSendsNothing) {
  TScriptedProxy Target;
  Target.Start();
  TSocksClient Client(TSocksVersion::svNoSocks, 1);
  Client.Connect("127.0.0.1", Target.Port());
  Client.Close();
  EXPECT_EQ(Hex(Target.Received()), "");
}

TEST(SocksSettings, NegotiatingWithoutATransportRaisesDisconnected) {
  TIdSocksInfo Info(nullptr);
  Info.SetVersion(TSocksVersion::svSocks5);
  ExpectFailure([&] { Info.NegotiateSocks("target.test", 80); }, IsExactly<EIdClosedSocket>,
                "Disconnected.");
}

// Settings with an owner component may be shared by several transports; each connect must talk
// through its own socket, not through whichever transport took the settings last.
TEST(SocksSettings, SharedSettingsNegotiateThroughTheConnectingTransport) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({5, 1, 0})).Reply(Bytes({5, 0}));
  Proxy.Expect(Socks5Connect("target.test", 80)).Reply(Socks5Succeeded);
  Proxy.Start();
  TComponent Form(nullptr);
  auto* Shared = new TIdSocksInfo(&Form); // owned by Form
  Shared->SetVersion(TSocksVersion::svSocks5);
  Shared->SetHost("127.0.0.1");
  Shared->SetPort(Proxy.Port());
  TIdIOHandlerSocket First(nullptr), Second(nullptr);
  First.SetSocksInfo(Shared);
  Second.SetSocksInfo(Shared);
  First.OpenIO();
  First.ConnectTo("target.test", 80, "", 0, 0, 0, -1);
  First.CloseIO();
  EXPECT_FALSE(Proxy.Mismatch()) << Hex(Proxy.Received());
}

TEST(SocksSettings, TargetNameIsLeftToTheProxyAndStatusNamesTheProxy) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({5, 1, 0})).Reply(Bytes({5, 0}));
  Proxy.Expect(Socks5Connect("target.test", 80)).Reply(Socks5Succeeded);
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
  std::vector<std::string> Statuses;
  Client.Transport().OnStatus = [&](TComponent*, TIdStatus, const std::string& AText) {
    Statuses.push_back(AText);
  };
  Client.Connect("target.test", 80);
  EXPECT_EQ(Statuses, std::vector<std::string>{"Connecting to 127.0.0.1."});
}

// ---- SOCKS 4 and 4A requests ----------------------------------------------------------------

TEST(Socks4Request, EmptyUserIdToAnAddressIsNineBytesThenTheTunnel) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({4, 1, 0, 80, 127, 0, 0, 2, 0})).Reply(Granted4).Echo();
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks4, Proxy.Port());
  Client.Connect("127.0.0.2", 80);
  Client.Write("ping");
  EXPECT_EQ(Client.Read(4), "ping");
}

TEST(Socks4Request, HostNameIsResolvedHereAndUserIdEndsWithNul) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "alice" + Bytes({0})).Reply(Granted4);
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks4, Proxy.Port());
  Client.Socks().SetUsername("alice");
  Client.Connect("localhost", 8080);
  Client.Close();
  EXPECT_FALSE(Proxy.Mismatch()) << Hex(Proxy.Received());
}

TEST(Socks4Request, Socks4AWithElevenCharacterNameIsTwentyOneBytes) {
  const std::string Request = Bytes({4, 1, 0, 80, 0, 0, 0, 1, 0}) + "target.test" + Bytes({0});
  ASSERT_EQ(Request.size(), 21u);
  TScriptedProxy Proxy;
  Proxy.Expect(Request).Reply(Granted4);
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks4A, Proxy.Port());
  Client.Connect("target.test", 80);
  Client.Close();
  EXPECT_EQ(Hex(Proxy.Received()), Hex(Request));
}

TEST(Socks4Request, Socks4ASendsADottedAddressAsText) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({4, 1, 0, 80, 0, 0, 0, 1}) + "u" + Bytes({0}) + "127.0.0.9" + Bytes({0}))
      .Reply(Granted4);
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks4A, Proxy.Port());
  Client.Socks().SetUsername("u");
  Client.Connect("127.0.0.9", 80);
  Client.Close();
  EXPECT_FALSE(Proxy.Mismatch()) << Hex(Proxy.Received());
}

// ---- SOCKS 4 replies --------------------------------------------------------------------------

TEST(Socks4Reply, EveryRefusalCodeRaisesItsException) {
  const struct {
    int Code;
    TClassCheck IsClass;
    const char* Text;
  } Cases[] = {
      {91, IsExactly<EIdSocksRequestFailed>, "Request rejected or failed."},
      {92, IsExactly<EIdSocksRequestServerFailed>,
       "Request rejected because SOCKS server cannot connect."},
      {93, IsExactly<EIdSocksRequestIdentFailed>,
       "Request rejected because the client program and identd report different user-ids."},
      {0, IsExactly<EIdSocksUnknownError>, "Unknown socks error."},
      {94, IsExactly<EIdSocksUnknownError>, "Unknown socks error."},
      {255, IsExactly<EIdSocksUnknownError>, "Unknown socks error."},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Code);
    TScriptedProxy Proxy;
    Proxy.Expect(Bytes({4, 1, 0, 80, 127, 0, 0, 2, 0}))
        .Reply(Bytes({0, Case.Code, 0, 0, 0, 0, 0, 0}));
    Proxy.Start();
    TSocksClient Client(TSocksVersion::svSocks4, Proxy.Port());
    ExpectFailure([&] { Client.Connect("127.0.0.2", 80); }, Case.IsClass, Case.Text);
  }
}

TEST(Socks4Reply, ReplyInSingleBytesIsReadWhole) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({4, 1, 0, 80, 127, 0, 0, 2, 0})).ReplyByteByByte(Granted4).Reply("tunnel");
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks4, Proxy.Port());
  Client.Connect("127.0.0.2", 80);
  EXPECT_EQ(Client.Read(6), "tunnel");
}

TEST(Socks4Reply, DataArrivingWithTheReplyStaysForTheTunnel) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({4, 1, 0, 80, 127, 0, 0, 2, 0})).Reply(Granted4 + "data");
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks4, Proxy.Port());
  Client.Connect("127.0.0.2", 80);
  EXPECT_EQ(Client.Read(4), "data");
}

TEST(Socks4Reply, CloseBeforeOrInsideTheReplyIsTheConnectionsClosedError) {
  for (const std::string& Partial : {std::string(), Bytes({0, 90, 0})}) {
    SCOPED_TRACE(Hex(Partial));
    TScriptedProxy Proxy;
    Proxy.Expect(Bytes({4, 1, 0, 80, 127, 0, 0, 2, 0})).Reply(Partial).Close();
    Proxy.Start();
    TSocksClient Client(TSocksVersion::svSocks4, Proxy.Port());
    ExpectFailure([&] { Client.Connect("127.0.0.2", 80); }, IsExactly<EIdConnClosedGracefully>,
                  "Connection Closed Gracefully.");
  }
}

TEST(Socks4Reply, ResetRaisesTheSocketError) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({4, 1, 0, 80, 127, 0, 0, 2, 0})).Reset();
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks4, Proxy.Port());
  try {
    Client.Connect("127.0.0.2", 80);
    ADD_FAILURE() << "nothing raised";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.SocketErrorCode(), WSA::ECONNRESET_);
  }
}

// ---- requests that cannot be expressed --------------------------------------------------------

namespace {

/// Connects through a scripted proxy that expects nothing and requires that the negotiation is
/// refused with AText before a single byte reached the proxy.
void ExpectRefusedBeforeSending(TSocksVersion AVersion,
                                const std::function<void(TIdSocksInfo&)>& AConfigure,
                                const std::string& AHost, int32_t APort, const std::string& AText) {
  TScriptedProxy Proxy;
  Proxy.Start();
  TSocksClient Client(AVersion, Proxy.Port());
  AConfigure(Client.Socks());
  ExpectFailure([&] { Client.Connect(AHost, APort); }, IsExactly<EIdSocksInvalidValue>, AText);
  Client.Close();
  EXPECT_EQ(Hex(Proxy.Received()), "");
}

const std::string Long255(255, 'a');
const std::string Long256(256, 'a');
auto Nothing = [](TIdSocksInfo&) {};

} // namespace

TEST(SocksLimits, Socks4UserIdOver255BytesOrWithNulIsRefused) {
  ExpectRefusedBeforeSending(
      TSocksVersion::svSocks4, [](TIdSocksInfo& S) { S.SetUsername(Long256); }, "127.0.0.2", 80,
      "The socks user id is longer than 255 bytes.");
  ExpectRefusedBeforeSending(
      TSocksVersion::svSocks4A, [](TIdSocksInfo& S) { S.SetUsername(std::string("ab\0cd", 5)); },
      "target.test", 80, "The socks user id contains a NUL byte.");
}

TEST(SocksLimits, Socks4AHostOver255BytesOrWithNulIsRefused) {
  ExpectRefusedBeforeSending(TSocksVersion::svSocks4A, Nothing, Long256, 80,
                             "The socks host name is longer than 255 bytes.");
  ExpectRefusedBeforeSending(TSocksVersion::svSocks4A, Nothing, std::string("a\0b.test", 8), 80,
                             "The socks host name contains a NUL byte.");
}

TEST(SocksLimits, Socks5ValuesOver255BytesAreRefused) {
  ExpectRefusedBeforeSending(TSocksVersion::svSocks5, Nothing, Long256, 80,
                             "The socks host name is longer than 255 bytes.");
  const auto WithCredentials = [](std::string AUser, std::string APassword) {
    return [=](TIdSocksInfo& S) {
      S.SetAuthentication(TSocksAuthentication::saUsernamePassword);
      S.SetUsername(AUser);
      S.SetPassword(APassword);
    };
  };
  ExpectRefusedBeforeSending(TSocksVersion::svSocks5, WithCredentials(Long256, "pw"), "target.test",
                             80, "The socks user name is longer than 255 bytes.");
  ExpectRefusedBeforeSending(TSocksVersion::svSocks5, WithCredentials("user", Long256),
                             "target.test", 80, "The socks password is longer than 255 bytes.");
}

TEST(SocksLimits, PortsOutside16BitsAreRefused) {
  ExpectRefusedBeforeSending(TSocksVersion::svSocks4, Nothing, "127.0.0.2", 65536,
                             "The socks destination port 65536 is out of range.");
  ExpectRefusedBeforeSending(TSocksVersion::svSocks5, Nothing, "target.test", -1,
                             "The socks destination port -1 is out of range.");
}

TEST(SocksLimits, Socks4CarriesNoIPv6Destination) {
  ExpectRefusedBeforeSending(TSocksVersion::svSocks4, Nothing, "::1", 80,
                             "SOCKS 4 cannot carry the IPv6 destination ::1.");
  ExpectRefusedBeforeSending(TSocksVersion::svSocks4A, Nothing, "2001:db8::7", 80,
                             "SOCKS 4 cannot carry the IPv6 destination 2001:db8::7.");
}

TEST(SocksLimits, ValuesOfExactly255BytesAreSent) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({5, 1, 2})).Reply(Bytes({5, 2}));
  Proxy.Expect(Bytes({1, 255}) + Long255 + Bytes({255}) + Long255).Reply(Bytes({1, 0}));
  Proxy.Expect(Socks5Connect(Long255, 443)).Reply(Socks5Succeeded);
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
  Client.Socks().SetAuthentication(TSocksAuthentication::saUsernamePassword);
  Client.Socks().SetUsername(Long255);
  Client.Socks().SetPassword(Long255);
  Client.Connect(Long255, 443);
  Client.Close();
  EXPECT_FALSE(Proxy.Mismatch()) << Hex(Proxy.Received());
}

// ---- SOCKS 5 ----------------------------------------------------------------------------------

TEST(Socks5Negotiation, WithoutAuthenticationTheDottedTargetGoesAsADomainName) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({5, 1, 0})).Reply(Bytes({5, 0}));
  Proxy.Expect(Bytes({5, 1, 0, 3, 9}) + "127.0.0.2" + Bytes({0x01, 0xBB})).Reply(Socks5Succeeded);
  Proxy.Echo();
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
  Client.Connect("127.0.0.2", 443);
  Client.Write("ping");
  EXPECT_EQ(Client.Read(4), "ping");
}

TEST(Socks5Negotiation, AnIPv6TargetGoesAsItsSixteenBytes) {
  const std::string Address = Bytes({0x20, 0x01, 0x0d, 0xb8}) + std::string(11, '\0') + "\x07";
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({5, 1, 0})).Reply(Bytes({5, 0}));
  Proxy.Expect(Bytes({5, 1, 0, 4}) + Address + Bytes({0x01, 0xBB}))
      .Reply(Bytes({5, 0, 0, 4}) + Address + Bytes({0x1F, 0x90}));
  Proxy.Echo();
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
  Client.Connect("2001:DB8::7", 443);
  Client.Write("ping");
  EXPECT_EQ(Client.Read(4), "ping");
}

TEST(Socks5Negotiation, UserNameAndPasswordAreSentAfterTheMethodIsChosen) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({5, 1, 2})).Reply(Bytes({5, 2}));
  Proxy.Expect(Bytes({1, 5}) + "alice" + Bytes({7}) + "secret!").Reply(Bytes({1, 0}));
  Proxy.Expect(Socks5Connect("target.test", 80)).Reply(Socks5Succeeded);
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
  Client.Socks().SetAuthentication(TSocksAuthentication::saUsernamePassword);
  Client.Socks().SetUsername("alice");
  Client.Socks().SetPassword("secret!");
  Client.Connect("target.test", 80);
  Client.Close();
  EXPECT_FALSE(Proxy.Mismatch()) << Hex(Proxy.Received());
}

TEST(Socks5Negotiation, EmptyCredentialsAreSentAsZeroLengths) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({5, 1, 2})).Reply(Bytes({5, 2}));
  Proxy.Expect(Bytes({1, 0, 0})).Reply(Bytes({1, 0}));
  Proxy.Expect(Socks5Connect("target.test", 80)).Reply(Socks5Succeeded);
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
  Client.Socks().SetAuthentication(TSocksAuthentication::saUsernamePassword);
  Client.Connect("target.test", 80);
  Client.Close();
  EXPECT_FALSE(Proxy.Mismatch()) << Hex(Proxy.Received());
}

TEST(Socks5Negotiation, AMethodOtherThanTheOneOfferedIsRefused) {
  for (int Chosen : {255, 2}) {
    SCOPED_TRACE(Chosen);
    TScriptedProxy Proxy;
    Proxy.Expect(Bytes({5, 1, 0})).Reply(Bytes({5, Chosen}));
    Proxy.Start();
    TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
    ExpectFailure([&] { Client.Connect("target.test", 80); }, IsExactly<EIdSocksAuthMethodError>,
                  "Invalid socks authentication method.");
  }
}

TEST(Socks5Negotiation, RefusedCredentialsRaiseAuthenticationError) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({5, 1, 2})).Reply(Bytes({5, 2}));
  Proxy.Expect(Bytes({1, 1}) + "u" + Bytes({1}) + "p").Reply(Bytes({1, 1}));
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
  Client.Socks().SetAuthentication(TSocksAuthentication::saUsernamePassword);
  Client.Socks().SetUsername("u");
  Client.Socks().SetPassword("p");
  ExpectFailure([&] { Client.Connect("target.test", 80); }, IsExactly<EIdSocksAuthError>,
                "Authentication error to socks server.");
}

TEST(Socks5Reply, EveryRefusalCodeRaisesItsException) {
  const struct {
    int Code;
    TClassCheck IsClass;
    const char* Text;
  } Cases[] = {
      {1, IsExactly<EIdSocksServerGeneralError>, "General SOCKS server failure."},
      {2, IsExactly<EIdSocksServerPermissionError>, "Connection not allowed by ruleset."},
      {3, IsExactly<EIdSocksServerNetUnreachableError>, "Network unreachable."},
      {4, IsExactly<EIdSocksServerHostUnreachableError>, "Host unreachable."},
      {5, IsExactly<EIdSocksServerConnectionRefusedError>, "Connection refused."},
      {6, IsExactly<EIdSocksServerTTLExpiredError>, "TTL expired."},
      {7, IsExactly<EIdSocksServerCommandError>, "Command not supported."},
      {8, IsExactly<EIdSocksServerAddressError>, "Address type not supported."},
      {9, IsExactly<EIdSocksUnknownError>, "Unknown socks error."},
      {255, IsExactly<EIdSocksUnknownError>, "Unknown socks error."},
  };
  for (const auto& Case : Cases) {
    SCOPED_TRACE(Case.Code);
    TScriptedProxy Proxy;
    Proxy.Expect(Bytes({5, 1, 0})).Reply(Bytes({5, 0}));
    Proxy.Expect(Socks5Connect("target.test", 80))
        .Reply(Bytes({5, Case.Code, 0, 1, 0, 0, 0, 0, 0, 0}));
    Proxy.Start();
    TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
    ExpectFailure([&] { Client.Connect("target.test", 80); }, Case.IsClass, Case.Text);
  }
}

TEST(Socks5Reply, EachAddressTypeConsumesExactlyItsReply) {
  const std::string Name4 = Bytes({3, 4}) + "abcd"; // 11 bytes of reply in all
  const std::string IPv6 = Bytes({4}) + std::string(16, '\x01');
  const std::string IPv4 = Bytes({1, 127, 0, 0, 1});
  for (const std::string& Address : {IPv4, Name4, IPv6}) {
    SCOPED_TRACE(Hex(Address));
    TScriptedProxy Proxy;
    Proxy.Expect(Bytes({5, 1, 0})).Reply(Bytes({5, 0}));
    Proxy.Expect(Socks5Connect("target.test", 80))
        .Reply(Bytes({5, 0, 0}) + Address + Port16(8080) + "Xtail");
    Proxy.Start();
    TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
    Client.Connect("target.test", 80);
    EXPECT_EQ(Client.Read(5), "Xtail");
  }
}

TEST(Socks5Reply, UnknownAddressTypeFailsInsteadOfGuessingALength) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({5, 1, 0})).Reply(Bytes({5, 0}));
  Proxy.Expect(Socks5Connect("target.test", 80)).Reply(Bytes({5, 0, 0, 2, 0, 0, 0, 0, 0, 0}));
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
  ExpectFailure([&] { Client.Connect("target.test", 80); }, IsExactly<EIdSocksUnknownAddressType>,
                "Socks server replied with unknown address type 2.");
}

TEST(Socks5Reply, EveryReplyInSingleBytesIsReadWhole) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({5, 1, 2})).ReplyByteByByte(Bytes({5, 2}));
  Proxy.Expect(Bytes({1, 1}) + "u" + Bytes({1}) + "p").ReplyByteByByte(Bytes({1, 0}));
  Proxy.Expect(Socks5Connect("target.test", 80))
      .ReplyByteByByte(Bytes({5, 0, 0, 3, 4}) + "abcd" + Port16(80))
      .Reply("tunnel");
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
  Client.Socks().SetAuthentication(TSocksAuthentication::saUsernamePassword);
  Client.Socks().SetUsername("u");
  Client.Socks().SetPassword("p");
  Client.Connect("target.test", 80);
  EXPECT_EQ(Client.Read(6), "tunnel");
}

TEST(Socks5Reply, AProxyThatStopsAnsweringDidNotRespond) {
  const std::string Method = Bytes({5, 1, 0});
  const std::string Connect = Socks5Connect("target.test", 80);
  const std::function<void(TScriptedProxy&)> Scripts[] = {
      [&](TScriptedProxy& P) { P.Expect(Method).Close(); },
      [&](TScriptedProxy& P) { P.Expect(Method).Reply(Bytes({5})).Close(); },
      [&](TScriptedProxy& P) {
        P.Expect(Method).Reply(Bytes({5, 0})).Expect(Connect).Close();
      },
      [&](TScriptedProxy& P) {
        P.Expect(Method).Reply(Bytes({5, 0})).Expect(Connect).Reply(Bytes({5, 0, 0})).Close();
      },
      [&](TScriptedProxy& P) {
        P.Expect(Method)
            .Reply(Bytes({5, 0}))
            .Expect(Connect)
            .Reply(Bytes({5, 0, 0, 1, 127, 0}))
            .Close();
      },
      [&](TScriptedProxy& P) {
        P.Expect(Method).Reply(Bytes({5, 0})).Expect(Connect).Reset();
      },
  };
  for (const auto& Script : Scripts) {
    SCOPED_TRACE(&Script - Scripts);
    TScriptedProxy Proxy;
    Script(Proxy);
    Proxy.Start();
    TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
    ExpectFailure([&] { Client.Connect("target.test", 80); }, IsExactly<EIdSocksServerRespondError>,
                  "Socks server did not respond.");
  }
}

TEST(Socks5Reply, CloseInsideTheAuthenticationReplyDidNotRespond) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({5, 1, 2})).Reply(Bytes({5, 2}));
  Proxy.Expect(Bytes({1, 1}) + "u" + Bytes({1}) + "p").Reply(Bytes({1})).Close();
  Proxy.Start();
  TSocksClient Client(TSocksVersion::svSocks5, Proxy.Port());
  Client.Socks().SetAuthentication(TSocksAuthentication::saUsernamePassword);
  Client.Socks().SetUsername("u");
  Client.Socks().SetPassword("p");
  ExpectFailure([&] { Client.Connect("target.test", 80); }, IsExactly<EIdSocksServerRespondError>,
                "Socks server did not respond.");
}
