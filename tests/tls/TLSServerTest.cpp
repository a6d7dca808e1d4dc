// SPDX-License-Identifier: MIT
// The framework's TLS server against real clients: openssl s_client and Python's ssl module
// speak the line protocol, fetch and send whole files byte for byte, negotiate ALPN, resume a
// session and present client certificates; clients that fail the handshake (a plain-text client,
// one that stops halfway, one without a required certificate) end their peer thread quietly
// with OpenSSL's reason, before any greeting. Certificates are chosen by the name a client asks
// for and replaced while clients are served; a client's chain is seen by the server, and a hook
// accepts a self-signed client. Behind a balancer, its PROXY protocol header comes first.
#include <gtest/gtest.h>

#include <random>

#include "idframework/tls/IdTLSExceptions.h"
#include "tls/TLSTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

// Talks to the server at port argv[1] with the CA argv[2]; argv[3] names the case.
const char* const PythonClient = R"PY(
import socket, ssl, sys
port, ca, case = int(sys.argv[1]), sys.argv[2], sys.argv[3]
ctx = ssl.create_default_context(cafile=ca)
if case.startswith("cert") or case == "peer":
    ctx.load_cert_chain(sys.argv[4], sys.argv[5])
ctx.set_alpn_protocols(["x-other", "x-test", "http/1.1"])

def connect(session=None):
    s = ctx.wrap_socket(socket.create_connection(("127.0.0.1", port)),
                        server_hostname="localhost", session=session)
    return s, s.makefile("rb")

def ask(s, f, line):
    s.sendall(line.encode() + b"\r\n")
    return f.readline().decode().rstrip("\r\n")

if case in ("session", "cert", "cert-missing"):
    s, f = connect()
    print(f.readline().decode().rstrip("\r\n"))
    print(ask(s, f, "SESSION"))
    print(ask(s, f, "QUIT"))
    first = s.session
    s.close()
    if case == "session":
        s, f = connect(first)
        f.readline()
        print(ask(s, f, "SESSION"), s.session_reused)
        s.close()
elif case == "peer":
    s, f = connect()
    f.readline()
    print(ask(s, f, "PEER"))
    s.close()
elif case == "names":
    ctx.check_hostname = False
    for name in sys.argv[4:]:
        s = ctx.wrap_socket(socket.create_connection(("127.0.0.1", port)),
                            server_hostname=None if name == "-" else name)
        print(dict(x[0] for x in s.getpeercert()["subject"])["commonName"])
        s.close()
elif case == "proxied":
    raw = socket.create_connection(("127.0.0.1", port))
    raw.sendall(b"PROXY TCP6 2001:DB8:0::7 ::1 4321 443\r\n")
    s = ctx.wrap_socket(raw, server_hostname="localhost")
    f = s.makefile("rb")
    print(f.readline().decode().rstrip("\r\n"))
    print(ask(s, f, "CLIENT"))
    s.close()
elif case in ("getfile", "put", "put-ragged"):
    s, f = connect()
    f.readline()
    if case == "getfile":
        s.sendall(b"GETFILE\r\n")
        sys.stdout.buffer.write(f.read())
    else:
        s.sendall(b"PUT\r\n" + open(sys.argv[4], "rb").read())
        if case == "put":
            s.unwrap()
    s.close()
)PY";

class TLSServer : public testing::Test {
protected:
  // Runs the Python client on the server for ACase; its standard output.
  std::string RunPython(const std::string& ACase, std::vector<std::string> AExtra = {}) {
    WriteTextFile(FPKI.File("client.py"), PythonClient);
    std::vector<std::string> Args{"python3", FPKI.File("client.py"), std::to_string(FPort),
                                  FPKI.File("ca.pem"), ACase};
    Args.insert(Args.end(), AExtra.begin(), AExtra.end());
    TPeerProcess Client;
    Client.Start(FPKI.Dir(), Args);
    EXPECT_EQ(Client.WaitExit(), 0) << Client.Err();
    return Client.Out();
  }
  std::string RandomFile(const std::string& AName, size_t ASize) {
    std::mt19937 Random(7);
    std::string Bytes(ASize, '\0');
    for (char& C : Bytes)
      C = static_cast<char>(Random());
    WriteTextFile(FPKI.File(AName), Bytes);
    return Bytes;
  }

  // A server context holding only the PKI's APair.
  std::shared_ptr<TIdTLSContext> Certificate(const std::string& APair) {
    auto Context = std::make_shared<TIdTLSContext>(TIdTLSRole::trServer);
    Context->UseCertificateChainFile(FPKI.File(APair + ".pem"));
    Context->UsePrivateKeyFile(FPKI.File(APair + ".key"));
    return Context;
  }

  TTestPKI FPKI;
  TTLSLineServer FServer{FPKI};
  int32_t FPort = 0;
};

} // namespace

TEST_F(TLSServer, OpensslClientSpeaksTheLineProtocolByteExact) {
  FPort = FServer.Start();
  TPeerProcess Client;
  Client.Start(FPKI.Dir(),
               {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(FPort), "-CAfile",
                FPKI.File("ca.pem"), "-verify_return_error", "-servername", "localhost", "-quiet"},
               "ECHO hello  there\r\nSESSION\r\nNOPE\r\nQUIT\r\n");
  ASSERT_EQ(Client.WaitExit(), 0) << Client.Err();
  EXPECT_EQ(Client.Out(), "220 test ready\r\n250 hello  there\r\n250 |full|\r\n"
                          "500 Unknown command\r\n221 Bye\r\n");
  EXPECT_EQ(FServer.Failures.Count(), 0u);
}

TEST_F(TLSServer, PythonClientNegotiatesALPNAndResumesItsSession) {
  FServer.Handler().Context().SetALPNProtocols({"http/1.1", "x-test"});
  FPort = FServer.Start();
  // The server's first choice among the offered ones; the second connection resumes.
  EXPECT_EQ(RunPython("session"),
            "220 test ready\n250 http/1.1|full|\n221 Bye\n250 http/1.1|resumed| True\n");
}

TEST_F(TLSServer, ThePROXYProtocolHeaderOfABalancerComesBeforeTheHandshake) {
  FServer.Server().SetProxyProtocol(true);
  FPort = FServer.Start();
  EXPECT_EQ(RunPython("proxied"), "220 test ready\n250 2001:db8::7 4321 ::1 443\n");
}

TEST_F(TLSServer, WholeFilesTravelByteExactBothWays) {
  const std::string Payload = RandomFile("payload.bin", 3 << 20);
  FServer.FileToSend = FPKI.File("payload.bin");
  FPort = FServer.Start();
  // SendFile goes through the session: the kernel's whole-file send would send plain bytes.
  EXPECT_TRUE(RunPython("getfile") == Payload) << "the file arrived changed";
  // ReadUntilClosed ends at the client's close_notify with every byte.
  RunPython("put", {FPKI.File("payload.bin")});
  ASSERT_TRUE(WaitFor([&] { return FServer.Received.Count() == 1; }, FactLimit));
  EXPECT_TRUE(FServer.Received.Entries()[0] == Payload);
  // Without close_notify the end may be cut short: an exception, not a result.
  RunPython("put-ragged", {FPKI.File("payload.bin")});
  ASSERT_TRUE(WaitFor([&] { return FServer.Exceptions.Count() == 1; }, FactLimit));
  EXPECT_EQ(FServer.Exceptions.Entries()[0].rfind("Connection closed without TLS close_notify", 0),
            0u)
      << FServer.Exceptions.Entries()[0];
  EXPECT_EQ(FServer.Received.Count(), 1u);
}

TEST_F(TLSServer, RequiredClientCertificateIsCheckedAndItsAbsenceRefused) {
  FServer.Handler().Context().SetClientCertificate(TIdTLSClientCertificate::ccRequire);
  FServer.Handler().Context().LoadTrustFile(FPKI.File("ca.pem"));
  FPort = FServer.Start();
  EXPECT_EQ(RunPython("cert", {FPKI.File("client.pem"), FPKI.File("client.key")}),
            "220 test ready\n250 |full|/CN=test client\n221 Bye\n");
  EXPECT_EQ(FServer.Failures.Count(), 0u);
  TPeerProcess Client;
  Client.Start(FPKI.Dir(),
               {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(FPort), "-CAfile",
                FPKI.File("ca.pem"), "-quiet"},
               "ECHO hello\r\n");
  ASSERT_TRUE(WaitFor([&] { return FServer.Failures.Count() == 1; }, FactLimit));
  EXPECT_EQ(FServer.Failures.Entries()[0],
            "TLS peer certificate rejected: peer did not return a certificate");
  Client.WaitExit();
  EXPECT_EQ(Client.Out().find("220"), std::string::npos) << "greeted without a certificate";
}

TEST_F(TLSServer, HandshakeFailuresEndThePeerBeforeTheGreeting) {
  FServer.Handler().SetHandshakeTimeout(300);
  int Connects = 0;
  FServer.Server().OnConnect = [&Connects](TIdPeerThread&) { ++Connects; };
  FPort = FServer.Start();
  // A plain-text client on the TLS port: refused with OpenSSL's reason, never greeted.
  TRawPeer Plain(FPort);
  Plain.SendLine("ECHO hello");
  bool Closed = false;
  const std::string Answer = Plain.ReadUntilClosed(&Closed);
  EXPECT_TRUE(Closed);
  EXPECT_EQ(Answer.find("220"), std::string::npos);
  ASSERT_TRUE(WaitFor([&] { return FServer.Failures.Count() == 1; }, FactLimit));
  EXPECT_EQ(FServer.Failures.Entries()[0], "TLS handshake failed: wrong version number");
  // A client that stops in the middle of its hello is ended by the handshake's time limit.
  TRawPeer Stalled(FPort);
  Stalled.Send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11));
  EXPECT_TRUE(Stalled.WaitClosed());
  ASSERT_TRUE(WaitFor([&] { return FServer.Failures.Count() == 2; }, FactLimit));
  EXPECT_EQ(FServer.Failures.Entries()[1], RS::RSTLSHandshakeTimeout);
  EXPECT_EQ(Connects, 0);
  EXPECT_TRUE(WaitFor([&] { return FServer.Server().PeerThreadCount() == 0; }, FactLimit));
  EXPECT_EQ(FServer.Exceptions.Count(), 0u) << "the failures end their peers quietly";
}

TEST_F(TLSServer, ActivationWithoutCertificateIsRefused) {
  TIdServerIOHandlerTLS Handler(nullptr);
  TIdTCPServer Server(nullptr);
  Server.SetIOHandler(&Handler);
  Server.OnExecute = [](TIdPeerThread&) {};
  EXPECT_THROW(StartOnLoopback(Server), EIdTLSSetupError);
  EXPECT_FALSE(Server.Active());
  TIdTLSContext Context(TIdTLSRole::trServer);
  EXPECT_THROW(Context.UsePrivateKeyFile(FPKI.File("client.key")), EIdTLSSetupError)
      << "a key without its certificate";
}

TEST_F(TLSServer, CertificatesChosenByServerNameAndReplacedWhileServing) {
  TIdTLSContext& Context = FServer.Handler().Context();
  Context.AddServerName("Other.Test", Certificate("other"));
  Context.AddServerName("*.wild.test", Certificate("other"));
  FPort = FServer.Start();
  // Names without an entry of their own, and a client that sends none, get the default.
  EXPECT_EQ(RunPython("names", {"other.test", "a.wild.test", "b.a.wild.test", "unknown.test", "-"}),
            "other.test\nother.test\nlocalhost\nlocalhost\nlocalhost\n");
  TIdTCPConnection Before(nullptr);
  Before.SetIOHandler(NewClientTransport(FPKI));
  Before.IOHandler()->ConnectTo("localhost", FPort, "", 0, 0, 0, 5000);
  EXPECT_EQ(Before.ReadLine(), "220 test ready");
  Context.ReplaceCertificate(Certificate("renewed"));
  Context.RemoveServerName("other.test");
  EXPECT_EQ(RunPython("names", {"-", "other.test", "a.wild.test"}),
            "localhost renewed\nlocalhost renewed\nother.test\n");
  // The session established before goes on with the certificate it had.
  EXPECT_EQ(Before.SendCommand("ECHO still here", {250}), 250);
  const auto& Transport = dynamic_cast<TIdIOHandlerTLS&>(*Before.IOHandler());
  EXPECT_EQ(Transport.Session()->PeerCertificate().Subject(), "/CN=localhost");
}

TEST_F(TLSServer, SeesTheClientsChainAndAHookAcceptsASelfSignedClient) {
  TIdTLSContext& Context = FServer.Handler().Context();
  Context.SetClientCertificate(TIdTLSClientCertificate::ccRequire);
  Context.LoadTrustFile(FPKI.File("ca.pem"));
  const std::string Pin = TIdTLSCertificate::FromPem(FPKI.Text("self.pem")).Fingerprint();
  Context.OnVerifyPeer = [&Pin](const std::vector<TIdTLSCertificate>& AChain,
                                const std::string& AFailure) {
    return AFailure.empty() || AChain.at(0).Fingerprint() == Pin;
  };
  FPort = FServer.Start();
  WriteTextFile(FPKI.File("chain.pem"), FPKI.Text("client.pem") + FPKI.Text("ca.pem"));
  const std::string Client = TIdTLSCertificate::FromPem(FPKI.Text("client.pem")).Fingerprint();
  EXPECT_EQ(RunPython("peer", {FPKI.File("chain.pem"), FPKI.File("client.key")}),
            "250 " + Client + "|2\n");
  EXPECT_EQ(RunPython("peer", {FPKI.File("self.pem"), FPKI.File("self.key")}),
            "250 " + Pin + "|1\n");
  // A certificate of an unknown issuer is still refused, with OpenSSL's reason.
  TPeerProcess Rogue;
  Rogue.Start(FPKI.Dir(),
              {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(FPort), "-cert",
               FPKI.File("rogue.pem"), "-key", FPKI.File("rogue.key"), "-quiet"},
              "PEER\r\n");
  ASSERT_TRUE(WaitFor([&] { return FServer.Failures.Count() == 1; }, FactLimit));
  EXPECT_EQ(FServer.Failures.Entries()[0],
            "TLS peer certificate rejected: unable to get local issuer certificate");
}

// Over MaxConnections a client of the TLS port is closed at once: a plain-text reply would read
// as a broken handshake message. A client of a STARTTLS port gets the reply.
TEST_F(TLSServer, AClientOverTheLimitGetsNoPlainTextOnTheTLSPort) {
  for (const TIdTLSMode Mode : {TIdTLSMode::tmImplicit, TIdTLSMode::tmExplicit}) {
    TTLSLineServer Server(FPKI, Mode);
    Server.Server().SetMaxConnections(1);
    Server.Server().MaxConnectionReply().SetCodeAndText(421, "busy");
    const int32_t Port = Server.Start();
    TRawPeer First(Port); // holds the one place, in its handshake or at the greeting
    ASSERT_TRUE(WaitFor([&] { return Server.Server().PeerThreadCount() == 1; }, FactLimit));
    TRawPeer Second(Port);
    EXPECT_EQ(Second.ReadUntilClosed(), Mode == TIdTLSMode::tmImplicit ? "" : "421 busy\r\n");
  }
}

// TLS 1.2 with an RSA certificate: no key exchange without forward secrecy, no CBC suite, and
// the server's order decides, whatever the client prefers.
TEST_F(TLSServer, TLS12OffersOnlyForwardSecretAEADSuitesInTheServersOrder) {
  FPKI.AddSelfSignedRSA("rsa");
  FServer.Handler().Context().UseCertificateChainFile(FPKI.File("rsa.pem"));
  FServer.Handler().Context().UsePrivateKeyFile(FPKI.File("rsa.key"));
  FPort = FServer.Start();
  // The suite s_client agreed on; empty when the handshake failed.
  const auto Agreed = [&](const std::string& ACiphers) {
    TPeerProcess Client;
    Client.Start(FPKI.Dir(),
                 {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(FPort),
                  "-tls1_2", "-cipher", ACiphers, "-brief"});
    const int Exit = Client.WaitExit();
    const std::string Err = Client.Err();
    const size_t At = Err.find("Ciphersuite: ");
    return Exit != 0 || At == std::string::npos ? std::string()
                                                : Err.substr(At + 13, Err.find('\n', At) - At - 13);
  };
  EXPECT_EQ(Agreed("AES128-GCM-SHA256:AES256-SHA256"), "") << "static RSA";
  EXPECT_EQ(Agreed("ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA384"), "") << "CBC";
  EXPECT_EQ(Agreed("ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384"),
            "ECDHE-RSA-AES256-GCM-SHA384");
}
