// SPDX-License-Identifier: MIT
// The client connection: connects with and without a time limit, directly and through a SOCKS
// proxy, reconnects after a close, and reports a refused connect.
#include <gtest/gtest.h>

#include <string>

#include "connection/IdSocksTestPeers.h"
#include "idframework/connection/IdClient.h"
#include "support/RawPeer.h"

using namespace Id;
using IdTest::Bytes;
using IdTest::TRawListener;
using IdTest::TRawPeer;
using IdTest::TScriptedProxy;

namespace {

// One line each way between AClient and the listener's next connection.
void ExchangeLine(TIdTCPClient& AClient, TRawListener& AListener, const std::string& ALine) {
  TRawPeer Server = AListener.Accept();
  ASSERT_TRUE(Server.IsOpen());
  AClient.WriteLine(ALine);
  EXPECT_EQ(Server.ReadLine(), ALine);
  ASSERT_TRUE(Server.SendLine(ALine + " back"));
  EXPECT_EQ(AClient.ReadLine(), ALine + " back");
}

} // namespace

TEST(TCPClient, ConnectsWithAndWithoutATimeLimitAndAgainAfterAClose) {
  TRawListener Listener;
  TIdTCPClient Client;
  Client.Connect("127.0.0.1", Listener.Port());
  EXPECT_TRUE(Client.IsConnected());
  EXPECT_EQ(Client.Host(), "127.0.0.1");
  EXPECT_EQ(Client.Port(), Listener.Port());
  ExchangeLine(Client, Listener, "first");

  Client.CloseConnection();
  EXPECT_FALSE(Client.IsConnected());
  EXPECT_EQ(Client.IOHandler(), nullptr); // the transport went with the close
  Client.Connect("127.0.0.1", Listener.Port(), 2000);
  ExchangeLine(Client, Listener, "second");
}

TEST(TCPClient, ARefusedConnectRaisesAndLeavesNoTransport) {
  int32_t Closed;
  {
    TRawListener Taken;
    Closed = Taken.Port();
  }
  TIdTCPClient Client;
  try {
    Client.Connect("127.0.0.1", Closed);
    FAIL() << "connected to a closed port";
  } catch (const EIdSocketError& E) {
    EXPECT_EQ(E.SocketErrorCode(), 10061);
  }
  EXPECT_EQ(Client.IOHandler(), nullptr);
  EXPECT_THROW(Client.Connect("127.0.0.1", Closed, 2000), EIdConnectException);
}

// The versions reach the transport the client makes: "localhost" has no IPv6 address that
// listens here, and with both versions its IPv4 one is found.
TEST(TCPClient, ConnectsAHostNameOverTheIPVersionsItIsGiven) {
  TRawListener Listener;
  TIdTCPClient Client;
  Client.SetIPVersions(TIdIPVersions::vsIPv6);
  EXPECT_THROW(Client.Connect("localhost", Listener.Port(), 2000), EIdException);
  Client.SetIPVersions(TIdIPVersions::vsBoth);
  Client.Connect("localhost", Listener.Port(), 2000);
  ExchangeLine(Client, Listener, "either");
}

TEST(TCPClient, ConnectsThroughSocks5) {
  TScriptedProxy Proxy;
  Proxy.Expect(Bytes({5, 1, 0})).Reply(Bytes({5, 0}));
  Proxy.Expect(Bytes({5, 1, 0, 3, 11}) + "target.test" + Bytes({0, 25}))
      .Reply(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 25}));
  Proxy.Expect("HELO\r\n").Reply("250 hello\r\n");
  Proxy.Start();
  TIdTCPClient Client;
  Client.SocksInfo().SetVersion(TSocksVersion::svSocks5);
  Client.SocksInfo().SetHost("127.0.0.1");
  Client.SocksInfo().SetPort(Proxy.Port());
  Client.Connect("target.test", 25, 2000);
  EXPECT_EQ(Client.SendCommand("HELO", {250}), 250);
  Client.CloseConnection();
  EXPECT_FALSE(Proxy.Mismatch());
}
