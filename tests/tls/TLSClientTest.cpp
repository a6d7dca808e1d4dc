// SPDX-License-Identifier: MIT
// The framework's TLS client against real servers: openssl s_server echoes lines back reversed,
// checks client certificates and presents certificates that must be refused (unknown issuer,
// expired, another host's name); the client also connects through a real SOCKS proxy, and a
// close from another thread ends a handshake or a read as it ends a plain one. It resumes
// sessions (its own, and s_client's in PEM form), shows the certificate a server chose by name,
// and a verification hook pins a chain or accepts a self-signed server; a server that asks to
// renegotiate is refused.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "connection/ConnectionTestSupport.h"
#include "idframework/connection/IdTCPClient.h"
#include "idframework/tls/IdTLSClient.h"
#include "idframework/tls/IdTLSExceptions.h"
#include "net/BlockedCallsLinux.h"
#include "support/IPv6Loopback.h"
#include "tls/TLSTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

class TLSClient : public testing::Test {
protected:
  // An s_server with the PKI's APair (server, expired, rogue) that reverses every line; AExtra
  // adds options. Returns its port.
  int32_t StartOpensslServer(const std::string& APair, std::vector<std::string> AExtra = {}) {
    std::vector<std::string> Args{"openssl",
                                  "s_server",
                                  "-accept",
                                  "127.0.0.1:0",
                                  "-naccept",
                                  "1",
                                  "-rev",
                                  "-cert",
                                  FPKI.File(APair + ".pem"),
                                  "-key",
                                  FPKI.File(APair + ".key")};
    Args.insert(Args.end(), AExtra.begin(), AExtra.end());
    FPeer.Start(FPKI.Dir(), Args);
    const int32_t Port = FPeer.WaitForListeningPort();
    EXPECT_NE(Port, 0) << FPeer.Err();
    return Port;
  }
  // A connection over a TLS transport that trusts the PKI's CA, connected to APort.
  TIdTCPConnection* Connect(int32_t APort, const std::string& AHost = "localhost",
                            const std::string& AHostName = std::string()) {
    auto Transport = NewClientTransport(FPKI);
    Transport->SetHostName(AHostName);
    if (FBeforeConnect) FBeforeConnect(*Transport);
    FTransport = Transport.get();
    FConnection = std::make_unique<TIdTCPConnection>(nullptr);
    FConnection->SetIOHandler(std::move(Transport));
    FTransport->ConnectTo(AHost, APort, "", 0, 0, 0, 5000);
    return FConnection.get();
  }
  // The exception text of a connect to APort that must fail with E.
  template <class E>
  std::string ConnectFailure(int32_t APort, const std::string& AHostName = std::string()) {
    try {
      Connect(APort, "127.0.0.1", AHostName);
    } catch (const E& Failure) {
      EXPECT_FALSE(FTransport->IsOpen()) << "a failed handshake leaves the socket closed";
      return Failure.Message();
    }
    ADD_FAILURE() << "connected";
    return std::string();
  }

  // One line reversed by the s_server at APort, over a session that offers AOffer; the
  // session to keep, and whether the server resumed the offered one.
  TIdTLSSavedSession RoundTrip(int32_t APort, const TIdTLSSavedSession& AOffer, bool& AResumed) {
    FBeforeConnect = [&](TIdIOHandlerTLS& T) { T.SetOfferedSession(AOffer); };
    TIdTCPConnection* Connection = Connect(APort);
    Connection->WriteText("one\n");
    EXPECT_EQ(Connection->ReadLine(), "eno"); // a TLS 1.3 ticket comes with it
    AResumed = FTransport->Session()->SessionReused();
    TIdTLSSavedSession Saved = FTransport->Session()->SavedSession();
    Connection->WriteText("CLOSE\n");
    EXPECT_THROW(Connection->ReadLine(), EIdConnClosedGracefully);
    return Saved;
  }
  // Runs openssl with AArgs (and AInput) to its end; its standard output.
  std::string RunOpenssl(std::vector<std::string> AArgs, const std::string& AInput = "") {
    AArgs.insert(AArgs.begin(), "openssl");
    TPeerProcess Tool;
    Tool.Start(FPKI.Dir(), AArgs, AInput);
    EXPECT_EQ(Tool.WaitExit(), 0) << Tool.Err();
    return Tool.Out();
  }

  TTestPKI FPKI;
  TPeerProcess FPeer;
  std::unique_ptr<TIdTCPConnection> FConnection; // of the last Connect
  TIdIOHandlerTLS* FTransport = nullptr;         // owned by FConnection
  std::function<void(TIdIOHandlerTLS&)> FBeforeConnect;
};

} // namespace

TEST_F(TLSClient, LinesTravelByteExactThroughOpensslServer) {
  TIdTCPConnection* Connection = Connect(StartOpensslServer("server"));
  EXPECT_EQ(FTransport->Session()->ProtocolVersion(), "TLSv1.3");
  EXPECT_EQ(FTransport->Session()->PeerSubject(), "/CN=localhost");
  // More than the socket and OpenSSL buffer at once, written before any is read back.
  std::string Sent;
  std::vector<std::string> Lines;
  for (int I = 0; I < 400; ++I) {
    Lines.push_back("line " + std::to_string(I) + std::string(static_cast<size_t>(I % 97), 'x') +
                    " end");
    Sent += Lines.back() + "\n";
  }
  Connection->WriteText(Sent);
  for (const std::string& Line : Lines) {
    const std::string Back = Connection->ReadLine();
    ASSERT_EQ(std::string(Back.rbegin(), Back.rend()), Line);
  }
  // The server ends the session with close_notify: an orderly close.
  Connection->WriteText("CLOSE\n");
  EXPECT_THROW(Connection->ReadLine(), EIdConnClosedGracefully);
  EXPECT_FALSE(Connection->IsConnected());
}

// A dual-stack binding: an IPv6 client and an IPv4 one, each checked against the certificate's
// address of its own version.
TEST_F(TLSClient, TalksToAFrameworkServerOverIPv6AndDualStack) {
  ID_SKIP_WITHOUT_IPV6();
  TTLSLineServer Server(FPKI);
  TIdSocketHandle* Both = Server.Server().Bindings().AddBinding();
  Both->SetIPVersion(TIdIPVersion::ivIPv6);
  Both->SetDualStack(true);
  Server.Start();
  for (const std::string Address : {"::1", "127.0.0.1"}) {
    TIdTCPConnection* Connection = Connect(Both->Port(), Address);
    EXPECT_EQ(Connection->ReadLine(), "220 test ready");
    Connection->WriteLine("ECHO over " + Address);
    EXPECT_EQ(Connection->ReadLine(), "250 over " + Address);
  }
}

TEST_F(TLSClient, CertificatesThatMustNotBeTrustedAreRefused) {
  EXPECT_EQ(ConnectFailure<EIdTLSCertificateError>(StartOpensslServer("rogue")),
            "TLS peer certificate rejected: unable to get local issuer certificate");
  FPeer.Stop();
  EXPECT_EQ(ConnectFailure<EIdTLSCertificateError>(StartOpensslServer("expired")),
            "TLS peer certificate rejected: certificate has expired");
  FPeer.Stop();
  EXPECT_EQ(ConnectFailure<EIdTLSCertificateError>(StartOpensslServer("server"), "example.org"),
            "TLS peer certificate rejected: hostname mismatch");
  FPeer.Stop();
  // An address is checked against the certificate's addresses.
  TIdTCPConnection* Connection = Connect(StartOpensslServer("server"), "127.0.0.1");
  Connection->WriteText("ok\n");
  EXPECT_EQ(Connection->ReadLine(), "ko");
}

TEST_F(TLSClient, ClientCertificateIsSentWhereRequired) {
  const std::vector<std::string> Require{"-Verify", "1", "-CAfile", FPKI.File("ca.pem")};
  // Without one, TLS 1.3 ends the client's handshake before the server's verdict, which comes
  // as an alert on the first read.
  TIdTCPConnection* Connection = Connect(StartOpensslServer("server", Require));
  try {
    Connection->WriteText("hello\n");
    Connection->ReadLine();
    ADD_FAILURE() << "read without a certificate";
  } catch (const EIdTLSProtocolError& E) {
    EXPECT_EQ(E.Message(), "TLS error: tlsv13 alert certificate required");
  }
  EXPECT_FALSE(Connection->IsConnected());
  FPeer.Stop();
  const int32_t Port = StartOpensslServer("server", Require);
  auto Transport = NewClientTransport(FPKI);
  Transport->Context().UseCertificateChainFile(FPKI.File("client.pem"));
  Transport->Context().UsePrivateKeyFile(FPKI.File("client.key"));
  TIdTCPConnection Certified(nullptr);
  Transport->ConnectTo("localhost", Port, "", 0, 0, 0, -1);
  Certified.SetIOHandler(std::move(Transport));
  Certified.WriteText("hello\n");
  EXPECT_EQ(Certified.ReadLine(), "olleh");
}

TEST_F(TLSClient, ConnectsThroughSocksProxy) {
  if (!IsProgram("/usr/bin/microsocks")) GTEST_SKIP() << "microsocks is not installed";
  TPeerProcess Proxy;
  Proxy.Start(FPKI.Dir(), {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", "0"});
  const int32_t ProxyPort = Proxy.WaitForListeningPort();
  ASSERT_NE(ProxyPort, 0) << Proxy.Err();
  TTLSLineServer Server(FPKI);
  const int32_t Port = Server.Start();
  auto Transport = NewClientTransport(FPKI);
  Transport->SocksInfo()->SetVersion(TSocksVersion::svSocks5);
  Transport->SocksInfo()->SetHost("127.0.0.1");
  Transport->SocksInfo()->SetPort(ProxyPort);
  // The name the proxy resolves is the one the certificate is checked against.
  Transport->ConnectTo("localhost", Port, "", 0, 0, 0, -1);
  TIdTCPConnection Connection(nullptr);
  Connection.SetIOHandler(std::move(Transport));
  EXPECT_EQ(Connection.ReadLine(), "220 test ready");
  EXPECT_EQ(Connection.SendCommand("ECHO via proxy", {250}), 250);
  EXPECT_EQ(Connection.LastReply().Text()[0], "via proxy");
}

TEST_F(TLSClient, CloseFromAnotherThreadEndsHandshakeAndRead) {
  // A server that accepts but never answers the hello.
  TRawListener Silent;
  auto Transport = NewClientTransport(FPKI);
  Transport->SetHandshakeTimeout(0);
  TIdIOHandlerTLS* Waiting = Transport.get();
  std::atomic<pid_t> Tid{0};
  std::exception_ptr Failure;
  std::thread Connecting([&] {
    Tid = ThreadId();
    try {
      Waiting->ConnectTo("localhost", Silent.Port(), "", 0, 0, 0, -1);
    } catch (...) {
      Failure = std::current_exception();
    }
  });
  TRawPeer Peer = Silent.Accept();
  ASSERT_TRUE(WaitBlockedIn(Tid, {SYS_recvfrom, SYS_poll, SYS_ppoll}));
  Waiting->CloseIO();
  Connecting.join();
  ASSERT_TRUE(Failure);
  EXPECT_THROW(std::rethrow_exception(Failure), EIdConnClosedGracefully);

  // A reader blocked in a TLS read of an established session.
  TTLSLineServer Server(FPKI);
  TIdTCPConnection* Connection = Connect(Server.Start());
  EXPECT_EQ(Connection->ReadLine(), "220 test ready");
  Tid = 0;
  Failure = nullptr;
  std::thread Reading([&] {
    Tid = ThreadId();
    try {
      Connection->ReadLine();
    } catch (...) {
      Failure = std::current_exception();
    }
  });
  ASSERT_TRUE(WaitBlockedIn(Tid, {SYS_recvfrom, SYS_poll, SYS_ppoll}));
  Connection->CloseTransport();
  Reading.join();
  ASSERT_TRUE(Failure);
  EXPECT_THROW(std::rethrow_exception(Failure), EIdConnClosedGracefully);
}

TEST_F(TLSClient, ReadsUnderATimeLimitKeepTheSessionWhole) {
  TTLSLineServer Server(FPKI);
  TIdTCPConnection* Connection = Connect(Server.Start());
  Connection->SetReadTimeout(50);
  EXPECT_EQ(Connection->ReadLine(), "220 test ready");
  EXPECT_THROW(Connection->ReadLine(), EIdReadTimeout);
  Connection->PollClosed(true);
  EXPECT_TRUE(Connection->IsConnected());
  Connection->SetReadTimeout(0);
  EXPECT_EQ(Connection->SendCommand("ECHO still whole", {250}), 250);
  EXPECT_EQ(Connection->LastReply().Text()[0], "still whole");
}

TEST_F(TLSClient, ResumesSessionsOverTLS12AndTLS13AndSharesThemWithOpenssl) {
  // TLS 1.2: the session of one connection offered on the next.
  bool Resumed = true;
  int32_t Port = StartOpensslServer("server", {"-tls1_2", "-naccept", "2"});
  const TIdTLSSavedSession First = RoundTrip(Port, {}, Resumed);
  EXPECT_FALSE(Resumed);
  ASSERT_TRUE(First.Resumable());
  RoundTrip(Port, First, Resumed);
  EXPECT_TRUE(Resumed);
  FPeer.Stop();
  // TLS 1.3, s_client's session resumed here, and this client's by s_client.
  Port = StartOpensslServer("server", {"-naccept", "3"});
  const std::string Connect = "127.0.0.1:" + std::to_string(Port);
  RunOpenssl({"s_client", "-connect", Connect, "-servername", "localhost", "-ign_eof", "-sess_out",
              FPKI.File("s_client.session")},
             "hi\nCLOSE\n");
  const TIdTLSSavedSession Theirs = TIdTLSSavedSession::FromPem(FPKI.Text("s_client.session"));
  WriteTextFile(FPKI.File("own.session"), RoundTrip(Port, Theirs, Resumed).ToPem());
  EXPECT_TRUE(Resumed);
  const std::string Out = RunOpenssl({"s_client", "-connect", Connect, "-servername", "localhost",
                                      "-ign_eof", "-sess_in", FPKI.File("own.session")},
                                     "hi\nCLOSE\n");
  EXPECT_NE(Out.find("Reused, TLSv1.3"), std::string::npos) << Out;
}

TEST_F(TLSClient, ShowsTheChainAndNamesOfTheCertificateAServerChoseByName) {
  const int32_t Port = StartOpensslServer(
      "server", {"-cert_chain", FPKI.File("ca.pem"), "-servername", "other.test", "-cert2",
                 FPKI.File("other.pem"), "-key2", FPKI.File("other.key"), "-naccept", "2"});
  Connect(Port, "127.0.0.1", "other.test");
  const TIdTLSCertificate Other = FTransport->Session()->PeerCertificate();
  EXPECT_EQ(Other.Subject(), "/CN=other.test");
  EXPECT_EQ(Other.AlternativeNames(),
            (std::vector<std::string>{"DNS:other.test", "DNS:*.wild.test"}));
  const std::string Printed =
      RunOpenssl({"x509", "-in", FPKI.File("other.pem"), "-noout", "-fingerprint", "-sha256"});
  EXPECT_EQ("sha256 Fingerprint=" + Other.Fingerprint() + "\n", Printed);
  // The default certificate, with the chain the server sent after it.
  Connect(Port, "127.0.0.1", "localhost");
  const std::vector<TIdTLSCertificate> Chain = FTransport->Session()->PeerCertificateChain();
  ASSERT_EQ(Chain.size(), 2u);
  EXPECT_EQ(Chain[0].AlternativeNames(),
            (std::vector<std::string>{"DNS:localhost", "IP:127.0.0.1", "IP:::1"}));
  EXPECT_EQ(ChainToPem(Chain), FPKI.Text("server.pem") + FPKI.Text("ca.pem"));
  EXPECT_EQ(TIdTLSCertificate::FromDer(Chain[1].Der()).Subject(), "/CN=Test CA");
}

TEST_F(TLSClient, VerificationHookPinsAChainOrAcceptsASelfSignedServer) {
  const int32_t Self = StartOpensslServer("self", {"-naccept", "2"});
  EXPECT_EQ(ConnectFailure<EIdTLSCertificateError>(Self),
            "TLS peer certificate rejected: self-signed certificate");
  const std::string Pin = TIdTLSCertificate::FromPem(FPKI.Text("self.pem")).Fingerprint();
  std::string Failure;
  FBeforeConnect = [&](TIdIOHandlerTLS& T) {
    T.Context().OnVerifyPeer = [&](const std::vector<TIdTLSCertificate>& AChain,
                                   const std::string& AFailure) {
      Failure = AFailure;
      return AChain.at(0).Fingerprint() == Pin;
    };
  };
  TIdTCPConnection* Connection = Connect(Self);
  EXPECT_EQ(Failure, "self-signed certificate");
  Connection->WriteText("pinned\n");
  EXPECT_EQ(Connection->ReadLine(), "dennip");
  // A chain that OpenSSL accepts, refused by the pin.
  FPeer.Stop();
  EXPECT_EQ(ConnectFailure<EIdTLSCertificateError>(StartOpensslServer("server")),
            "TLS peer certificate rejected: application verification failure");
  EXPECT_EQ(Failure, "");
}

// A server that asks for a new handshake in the middle of the session is refused: a handshake
// inside a read would run the program's check of the server there (a full one: the server keeps
// no session to resume).
TEST_F(TLSClient, AServerAskingForRenegotiationIsRefused) {
  const std::string Commands = FPKI.Dir().File("commands");
  ASSERT_EQ(::mkfifo(Commands.c_str(), 0600), 0);
  FPeer.Start(FPKI.Dir(), {"bash", "-c",
                           "exec openssl s_server -accept 127.0.0.1:0 -naccept 1 -tls1_2 -cert " +
                               FPKI.File("server.pem") + " -key " + FPKI.File("server.key") +
                               " -no_ticket -no_cache < " + Commands});
  const int Input = ::open(Commands.c_str(), O_WRONLY); // meets s_server's reading end
  ASSERT_GE(Input, 0);
  const int32_t Port = FPeer.WaitForListeningPort();
  int Checks = 0;
  FBeforeConnect = [&](TIdIOHandlerTLS& T) {
    T.Context().OnVerifyPeer = [&](const std::vector<TIdTLSCertificate>&, const std::string&) {
      return ++Checks > 0;
    };
  };
  TIdTCPConnection* Connection = Connect(Port);
  ASSERT_EQ(::write(Input, "r\n", 2), 2); // s_server's command to renegotiate
  EXPECT_THROW(Connection->ReadLine(std::string(), 5000), Exception);
  EXPECT_EQ(Checks, 1);
  ::close(Input);
}

// A client's Connect goes over the transport it was given, reconnect included, never over a
// plain socket in its place; UseTLS makes each Connect a TLS one.
TEST_F(TLSClient, AClientConnectsOverTheTransportItIsGivenOrOverTLSWithUseTLS) {
  const int32_t Port = StartOpensslServer("server", {"-naccept", "3"});
  const auto ExchangeOverTLS = [](TIdTCPClient& AClient, const std::string& AText) {
    auto* Transport = dynamic_cast<TIdIOHandlerTLS*>(AClient.IOHandler());
    ASSERT_TRUE(Transport && Transport->TLSActive());
    AClient.WriteText(AText + "\n");
    EXPECT_EQ(AClient.ReadLine(), std::string(AText.rbegin(), AText.rend()));
    AClient.CloseConnection();
  };
  TIdTCPClient Given;
  Given.SetIOHandler(NewClientTransport(FPKI)); // owned by the connection
  Given.Connect("localhost", Port, 5000);
  ExchangeOverTLS(Given, "first");
  Given.Connect("localhost", Port, 5000);
  ExchangeOverTLS(Given, "again");
  TIdTCPClient Client;
  UseTLS(Client).LoadTrustFile(FPKI.File("ca.pem"));
  Client.Connect("localhost", Port, 5000);
  ExchangeOverTLS(Client, "third");
}
