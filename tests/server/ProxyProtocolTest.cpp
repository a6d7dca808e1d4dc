// SPDX-License-Identifier: MIT
// The PROXY protocol header reader: both versions and their address forms, pieces of any size
// without reading past the header, each kind of invalid header with its text, and the reads
// over a real loopback transport with their time limit and the peer's close. A server that reads
// the header before anything else: the client it names, and the end of only the connections
// whose header is missing, malformed or late.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "connection/ConnectionTestSupport.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/server/IdProxyProtocol.h"
#include "server/ServerTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

const std::string Signature("\r\n\r\n\0\r\nQUIT\n", 12);

// A version 2 header: version and command byte, family byte, then ABlock with its length.
std::string V2(uint8_t AVersionCommand, uint8_t AFamily, const std::string& ABlock) {
  return Signature + char(AVersionCommand) + char(AFamily) + char(ABlock.size() >> 8) +
         char(ABlock.size() & 0xFF) + ABlock;
}
const std::string IPv4Block("\x7F\x00\x00\x01\xC0\xA8\x01\x02\xB0\x01\x01\xBB", 12);

// Feeds AHeader + "rest" in pieces of at most APiece bytes, never more than the reader wants.
TIdProxyHeader Read(const std::string& AHeader, size_t APiece = 4096) {
  TIdProxyHeaderReader Reader;
  const std::string Stream = AHeader + "rest";
  size_t At = 0;
  while (!Reader.Complete())
    At += Reader.Feed(std::string_view(Stream).substr(At, std::min(APiece, Reader.Wanted())));
  EXPECT_EQ(Stream.substr(At), "rest");
  return Reader.Header();
}

std::string ErrorOf(const std::string& AHeader) {
  try {
    Read(AHeader);
  } catch (const EIdProxyProtocolError& E) {
    return E.Message();
  }
  return "no error";
}

} // namespace

TEST(ProxyProtocol, Version1AddressForms) {
  TIdProxyHeader H = Read("PROXY TCP4 192.168.0.1 10.0.0.2 56324 443\r\n");
  EXPECT_EQ(H.Version, 1);
  EXPECT_EQ(H.Family, TIdProxyFamily::pfIPv4);
  EXPECT_EQ(H.SourceIP + ":" + std::to_string(H.SourcePort), "192.168.0.1:56324");
  EXPECT_EQ(H.DestinationIP + ":" + std::to_string(H.DestinationPort), "10.0.0.2:443");
  H = Read("PROXY TCP6 2001:DB8:0:0:0:0:0:1 ::FFFF:10.0.0.2 0 65535\r\n");
  EXPECT_EQ(H.Family, TIdProxyFamily::pfIPv6);
  EXPECT_EQ(H.SourceIP, "2001:db8::1");
  EXPECT_EQ(H.DestinationIP, "::ffff:10.0.0.2");
  EXPECT_EQ(H.DestinationPort, 65535);
  for (const char* Unknown : {"PROXY UNKNOWN\r\n", "PROXY UNKNOWN ffff::1 any thing\r\n"}) {
    H = Read(Unknown);
    EXPECT_FALSE(H.HasAddresses());
    EXPECT_TRUE(H.SourceIP.empty());
  }
}

TEST(ProxyProtocol, Version2AddressFormsAndFields) {
  TIdProxyHeader H = Read(V2(0x21, 0x11, IPv4Block + std::string("\xE0\x00\x02hi", 5)));
  EXPECT_EQ(H.Version, 2);
  EXPECT_EQ(H.SourceIP + ":" + std::to_string(H.SourcePort), "127.0.0.1:45057");
  EXPECT_EQ(H.DestinationIP + ":" + std::to_string(H.DestinationPort), "192.168.1.2:443");
  ASSERT_EQ(H.TLVs.size(), 1u);
  EXPECT_EQ(H.TLVs[0].Type, 0xE0);
  EXPECT_EQ(H.TLVs[0].Value, "hi");
  std::string Block6(32, '\0');
  Block6[0] = '\x20', Block6[1] = '\x01', Block6[15] = '\x01', Block6[31] = '\x02';
  H = Read(V2(0x21, 0x21, Block6 + std::string("\x00\x50\x01\xBB", 4)));
  EXPECT_EQ(H.Family, TIdProxyFamily::pfIPv6);
  EXPECT_EQ(H.SourceIP + " " + H.DestinationIP, "2001::1 ::2");
  EXPECT_EQ(H.SourcePort, 80);
  // LOCAL: whatever its block holds, no addresses; AF_UNSPEC likewise.
  H = Read(V2(0x20, 0xFF, "junk"));
  EXPECT_TRUE(H.Local);
  EXPECT_FALSE(H.HasAddresses());
  EXPECT_FALSE(Read(V2(0x21, 0x00, "")).HasAddresses());
  H = Read(V2(0x21, 0x31, "/a" + std::string(106, '\0') + "/b" + std::string(106, '\0')));
  EXPECT_EQ(H.Family, TIdProxyFamily::pfUnix);
  EXPECT_EQ(H.SourceIP + " " + H.DestinationIP, "/a /b");
}

TEST(ProxyProtocol, PiecesOfOneByteAndTheChecksumField) {
  EXPECT_EQ(Read("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\r\n", 1).DestinationIP, "5.6.7.8");
  // A CRC32C field (its value from a table-driven implementation that gives the check value
  // E3069283 for "123456789") over a header read byte by byte; one flipped bit fails it.
  const std::string WithCRC = IPv4Block + std::string("\x03\x00\x04", 3);
  EXPECT_EQ(Read(V2(0x21, 0x11, WithCRC + "\xDA\x57\x59\xF9"), 1).TLVs.size(), 1u);
  EXPECT_EQ(ErrorOf(V2(0x21, 0x11, WithCRC + "\xDA\x57\x59\xF8")),
            "Malformed PROXY protocol header: checksum mismatch.");
}

TEST(ProxyProtocol, EachInvalidHeaderRaisesItsText) {
  const std::string Malformed = "Malformed PROXY protocol header: ";
  const std::vector<std::pair<std::string, std::string>> Cases = {
      {"GET / HTTP/1.1\r\n", "No PROXY protocol header."},
      {std::string("\r\n\r\n\0\r\nQUIX\n", 12) + "1234", "No PROXY protocol header."},
      {"PROXY TCP5 1.2.3.4 5.6.7.8 1 2\r\n", Malformed + "bad fields."},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n", Malformed + "bad fields."},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n", Malformed + "bad fields."},
      {"PROXY TCP4 1.2.3.04 5.6.7.8 1 2\r\n", Malformed + "bad address."},
      {"PROXY TCP4 ::1 ::1 1 2\r\n", Malformed + "bad address."},
      {"PROXY TCP6 1.2.3.4 ::1 1 2\r\n", Malformed + "bad address."},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n", Malformed + "bad port."},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 02\r\n", Malformed + "bad port."},
      {"PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n", Malformed + "bad line end."},
      {"PROXY UNKNOWN\rX\n", Malformed + "bad line end."},
      {"PROXY UNKNOWN " + std::string(100, 'x'), "PROXY protocol header longer than 107 bytes."},
      {V2(0x11, 0x11, IPv4Block), Malformed + "unknown version."},
      {V2(0x22, 0x11, IPv4Block), Malformed + "unknown command."},
      {V2(0x21, 0x41, IPv4Block), Malformed + "unknown address family."},
      {V2(0x21, 0x21, IPv4Block), Malformed + "address block too short."},
      {V2(0x21, 0x11, IPv4Block + std::string("\x01\x00\x05xy", 5)), Malformed + "bad TLV."},
      {V2(0x21, 0x11, IPv4Block + std::string(4085, '\0')),
       "PROXY protocol header longer than 4096 bytes."}};
  for (const auto& [Header, Text] : Cases)
    EXPECT_EQ(ErrorOf(Header), Text) << Header;
  // The first invalid byte raises: the rest of the line is never waited for.
  TIdProxyHeaderReader Reader;
  EXPECT_THROW(Reader.Feed("PROXY TCP4 1.x"), EIdProxyHeaderMalformed);
  EXPECT_EQ(Reader.Wanted(), 0u);
  EXPECT_THROW(Reader.Feed("3.4"), EIdProxyHeaderMalformed);
}

TEST(ProxyProtocol, InvalidAddressesAreMalformed) {
  // The texts are read by the stack's own parsers (tested with the stack); a text they refuse
  // ends the header as malformed.
  for (const char* Bad :
       {"TCP6 1::2::3 ::1", "TCP6 12345:: ::1", "TCP6 ::1.2.3 ::1", "TCP6 fe80::1%1 ::1",
        "TCP4 01.1.1.1 1.1.1.1", "TCP4 256.1.1.1 1.1.1.1", "TCP4 1.2.3 1.1.1.1"})
    EXPECT_EQ(ErrorOf(std::string("PROXY ") + Bad + " 1 2\r\n"),
              "Malformed PROXY protocol header: bad address.")
        << Bad;
}

TEST(ProxyProtocol, ReadsThroughATransportAndLeavesTheClientsBytes) {
  TConnectedPair Pair;
  Pair.Peer.Send("PROXY TCP4 1.2.3.4 5.6.7.8 1111 2222\r\nhello\n");
  const TIdProxyHeader H = ReadProxyHeader(*Pair.Conn.IOHandler(), 5000);
  EXPECT_EQ(H.SourcePort, 1111);
  EXPECT_EQ(Pair.Conn.ReadLine(), "hello");
}

TEST(ProxyProtocol, LatePeerTimesOutAndClosingPeerIsToldApart) {
  for (const std::string& Sent : {std::string(), std::string("\r\n\r\n\0\r\nQUIT\n!", 13)}) {
    TConnectedPair Pair;
    Pair.Peer.Send(Sent);
    EXPECT_THROW(ReadProxyHeader(*Pair.Conn.IOHandler(), 50), EIdProxyHeaderTimeout);
  }
  TConnectedPair Silent;
  Silent.Peer.ShutdownWrite();
  EXPECT_THROW(ReadProxyHeader(*Silent.Conn.IOHandler(), 5000), EIdConnClosedGracefully);
  TConnectedPair CutShort;
  CutShort.Peer.Send("PROXY TCP6 ::1");
  CutShort.Peer.ShutdownWrite();
  EXPECT_THROW(ReadProxyHeader(*CutShort.Conn.IOHandler(), 5000), EIdProxyHeaderTruncated);
}

namespace {

// A server behind a balancer: greets, then tells the client what the connection says of it.
struct TProxiedServer {
  TIdTCPServer Server{nullptr};
  TEventLog Exceptions;
  int32_t Port = 0;

  TProxiedServer() {
    Server.SetProxyProtocol(true);
    Server.SetProxyHeaderTimeout(200);
    Server.Greeting().SetCodeAndText(200, "hi");
    Server.OnConnect = [](TIdPeerThread& AThread) {
      TIdTCPServerConnection& C = *AThread.PeerConnection();
      C.WriteLine(C.ClientIP() + " " + std::to_string(C.ClientPort()) + " " + C.DestinationIP() +
                  " " + std::to_string(C.DestinationPort()));
      C.CloseConnection();
    };
    Server.OnException = [this](TIdPeerThread&, const Exception& E) {
      Exceptions.Add(E.Message());
    };
    Port = StartOnLoopback(Server);
  }
};

} // namespace

TEST(ProxyProtocolServer, TheHeaderComesFirstAndNamesTheClientBehindTheBalancer) {
  TProxiedServer S;
  std::string Block6(32, '\0');
  Block6[0] = '\x20', Block6[1] = '\x01', Block6[15] = '\x07', Block6[31] = '\x01';
  const std::string Header = V2(0x21, 0x21, Block6 + std::string("\x10\xE1\x01\xBB", 4));
  TRawPeer Relayed(S.Port);
  for (const char Byte : Header) // one receive per byte, as far as the network lets it
    Relayed.Send(std::string(1, Byte));
  EXPECT_EQ(Relayed.ReadLine(), "200 hi");
  EXPECT_EQ(Relayed.ReadLine(), "2001::7 4321 ::1 443");
  // A health check's header names nobody: the balancer itself is the client then.
  TRawPeer Check(S.Port);
  Check.Send("PROXY UNKNOWN\r\n");
  EXPECT_EQ(Check.ReadLine(), "200 hi");
  EXPECT_EQ(Check.ReadLine(), "127.0.0.1 " + std::to_string(Raw::LocalPort(Check.Fd())) +
                                  " 127.0.0.1 " + std::to_string(S.Port));
  EXPECT_EQ(S.Exceptions.Count(), 0u);
}

TEST(ProxyProtocolServer, AMissingMalformedOrLateHeaderEndsThatConnectionOnly) {
  TProxiedServer S;
  std::atomic<int> Connects{0};
  S.Server.OnConnect = [&Connects](TIdPeerThread& AThread) {
    ++Connects;
    AThread.PeerConnection()->CloseConnection();
  };
  TRawPeer Plain(S.Port), Malformed(S.Port), Late(S.Port);
  Plain.SendLine("GET / HTTP/1.0");
  Malformed.SendLine("PROXY TCP4 1.2.3.4 5.6.7.8 1 02");
  Late.Send("PROXY TCP4 1.2");
  for (TRawPeer* Client : {&Plain, &Malformed, &Late}) {
    bool Closed = false;
    EXPECT_EQ(Client->ReadUntilClosed(&Closed), "") << "greeted without a header";
    EXPECT_TRUE(Closed);
  }
  ASSERT_TRUE(WaitFor([&] { return S.Exceptions.Count() == 3; }));
  for (const char* Text :
       {"No PROXY protocol header.", "Malformed PROXY protocol header: bad port.",
        "PROXY protocol header not received in time."})
    EXPECT_EQ(S.Exceptions.CountOf(Text), 1u) << Text;
  TRawPeer Good(S.Port);
  Good.Send("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\r\n");
  EXPECT_EQ(Good.ReadLine(), "200 hi");
  EXPECT_TRUE(WaitFor([&] { return Connects == 1 && S.Server.PeerThreadCount() == 0; }));
}
