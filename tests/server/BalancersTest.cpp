// SPDX-License-Identifier: MIT
// The PROXY protocol header as real load balancers send it, read by servers of ours: HAProxy
// (version 1, and version 2 with its checksum; clients over IPv4 and IPv6) and nginx's stream
// module (version 1), each in front of two servers that read the header before anything else,
// tell the client how the connection names it and echo the client's line. A test skips only when
// its balancer is not installed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string>

#include "idframework/server/IdProxyProtocol.h"
#include "server/Balancers.h"
#include "server/ServerTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

// A server on loopback behind the balancer that tells each client how its connection names it.
// The balancer's health checks, which come without a header or with one that names no client,
// are not counted.
struct THeaderEcho {
  std::atomic<int> Served{0};
  TIdTCPServer Server{nullptr};
  int32_t Port = 0;

  THeaderEcho() {
    Server.SetProxyProtocol(true);
    Server.OnConnect = [this](TIdPeerThread& AThread) {
      TIdTCPServerConnection& C = *AThread.PeerConnection();
      Served += C.ProxyHeader()->HasAddresses() ? 1 : 0;
      C.WriteLine(C.ClientIP() + " " + std::to_string(C.ClientPort()) + " " + C.DestinationIP() +
                  " " + std::to_string(C.DestinationPort()) + " v" +
                  std::to_string(C.ProxyHeader()->Version));
      C.WriteLine(C.ReadLine());
      C.CloseConnection();
    };
    Port = StartOnLoopback(Server);
  }
};

// A client of APort on 127.0.0.1 or ::1 and its own port.
TRawPeer ConnectTo(int32_t APort, bool AIPv6, int32_t& AOwnPort) {
  if (!AIPv6) {
    TRawPeer Peer(APort);
    AOwnPort = Raw::LocalPort(Peer.Fd());
    return Peer;
  }
  const int Fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 Address{};
  Address.sin6_family = AF_INET6;
  Address.sin6_addr = in6addr_loopback;
  Address.sin6_port = htons(static_cast<uint16_t>(APort));
  socklen_t Length = sizeof(Address);
  ::connect(Fd, reinterpret_cast<sockaddr*>(&Address), Length);
  ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Address), &Length);
  AOwnPort = ntohs(Address.sin6_port);
  return TRawPeer::Adopt(Fd);
}

// Two clients through the balancer (one to each instance, round robin), and a third over IPv6
// when asked: each is named correctly to the server and gets its line back.
void ExpectClientsNamed(TBalancerSetup ASetup, int AVersion) {
  if (!TBalancer::Installed(ASetup.Kind)) GTEST_SKIP() << "not installed";
  THeaderEcho One, Two;
  ASetup.Instances[0] = One.Port;
  ASetup.Instances[1] = Two.Port;
  TBalancer Balancer;
  ASSERT_TRUE(Balancer.Start(ASetup)) << Balancer.Log();
  for (int Client = 0; Client < (ASetup.IPv6 ? 3 : 2); ++Client) {
    const bool IPv6 = Client == 2;
    const std::string Loopback = IPv6 ? "::1" : "127.0.0.1";
    int32_t OwnPort = 0;
    TRawPeer Peer = ConnectTo(Balancer.Port(), IPv6, OwnPort);
    Peer.SendLine("exact bytes \x01\xFF");
    EXPECT_EQ(Peer.ReadLine(), Loopback + " " + std::to_string(OwnPort) + " " + Loopback + " " +
                                   std::to_string(Balancer.Port()) + " v" +
                                   std::to_string(AVersion));
    EXPECT_EQ(Peer.ReadLine(), "exact bytes \x01\xFF");
  }
  EXPECT_GE(One.Served.load(), 1);
  EXPECT_GE(Two.Served.load(), 1);
}

} // namespace

TEST(Balancers, HAProxySendsVersion1) {
  ExpectClientsNamed({TBalancerKind::bkHAProxy, {}, "send-proxy", true}, 1);
}

TEST(Balancers, HAProxySendsVersion2WithChecksum) {
  ExpectClientsNamed({TBalancerKind::bkHAProxy, {}, "", true}, 2);
}

TEST(Balancers, NginxStreamSendsVersion1) {
  ExpectClientsNamed({TBalancerKind::bkNginx, {}, "", false}, 1);
}
