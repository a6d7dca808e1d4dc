// SPDX-License-Identifier: MIT
// STARTTLS on a live connection: real clients that speak it (Python's smtplib, openssl s_client
// -starttls smtp, and the framework's own client) switch a plain connection of the framework's
// server to TLS in place and go on byte for byte; plain bytes that arrive before the switch
// (injected commands or replies) are refused on both sides instead of being read as if they
// had come through the session.
#include <gtest/gtest.h>

#include "connection/ConnectionTestSupport.h"
#include "idframework/tls/IdTLSExceptions.h"
#include "tls/TLSTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

const char* const SmtpClient = R"PY(
import smtplib, ssl, sys
s = smtplib.SMTP("127.0.0.1", int(sys.argv[1]), local_hostname="client")
s.ehlo()
print(s.has_extn("starttls"))
print(s.starttls(context=ssl.create_default_context(cafile=sys.argv[2])))
s.ehlo()
print(s.has_extn("starttls"))
print(s.noop())
print(s.docmd("SESSION"))
print(s.quit())
)PY";

class StartTLS : public testing::Test {
protected:
  TTestPKI FPKI;
  TTLSLineServer FServer{FPKI, TIdTLSMode::tmExplicit};
};

} // namespace

TEST_F(StartTLS, PythonSmtplibSwitchesAndGoesOn) {
  const int32_t Port = FServer.Start();
  WriteTextFile(FPKI.File("smtp.py"), SmtpClient);
  TPeerProcess Client;
  Client.Start(FPKI.Dir(),
               {"python3", FPKI.File("smtp.py"), std::to_string(Port), FPKI.File("ca.pem")});
  ASSERT_EQ(Client.WaitExit(), 0) << Client.Err();
  EXPECT_EQ(Client.Out(), "True\n(220, b'Go ahead')\nFalse\n(250, b'OK')\n(250, b'|full|')\n"
                          "(221, b'Bye')\n");
}

TEST_F(StartTLS, OpensslClientSwitchesAndGoesOn) {
  const int32_t Port = FServer.Start();
  TPeerProcess Client;
  Client.Start(FPKI.Dir(),
               {"openssl", "s_client", "-starttls", "smtp", "-connect",
                "127.0.0.1:" + std::to_string(Port), "-CAfile", FPKI.File("ca.pem"),
                "-verify_return_error", "-quiet"},
               "ECHO after the switch\r\nSESSION\r\nQUIT\r\n");
  ASSERT_EQ(Client.WaitExit(), 0) << Client.Err();
  EXPECT_EQ(Client.Out(), "250 after the switch\r\n250 |full|\r\n221 Bye\r\n");
}

TEST_F(StartTLS, FrameworkClientSwitchesOnceAfterThePositiveReply) {
  const int32_t Port = FServer.Start();
  auto Transport = NewClientTransport(FPKI);
  Transport->SetMode(TIdTLSMode::tmExplicit);
  Transport->ConnectTo("localhost", Port, "", 0, 0, 0, -1);
  TIdIOHandlerTLS* TLS = Transport.get();
  TIdTCPConnection Connection(nullptr);
  Connection.SetIOHandler(std::move(Transport));
  Connection.ReadReply({220});
  Connection.SendCommand("EHLO me", {250});
  EXPECT_EQ(Connection.LastReply().Text().Count(), 2);
  Connection.SendCommand("STARTTLS", {220});
  Id::StartTLS(Connection);
  EXPECT_TRUE(TLS->TLSActive());
  Connection.SendCommand("SESSION", {250});
  EXPECT_EQ(Connection.LastReply().Text()[0], "|full|");
  EXPECT_THROW(Id::StartTLS(Connection), EIdTLSStartRefused);
  Connection.SendCommand("QUIT", {221});
  EXPECT_EQ(FServer.Exceptions.Count(), 0u);
}

TEST_F(StartTLS, PlainInputBeforeTheSwitchIsRefusedOnBothSides) {
  // A client that sends a command behind STARTTLS at once: it must not run, in plain text or
  // as if it had come through the session.
  const int32_t Port = FServer.Start();
  TRawPeer Injecting(Port);
  Injecting.Send("STARTTLS\r\nECHO injected\r\n");
  bool Closed = false;
  EXPECT_EQ(Injecting.ReadUntilClosed(&Closed), "220 test ready\r\n220 Go ahead\r\n");
  EXPECT_TRUE(Closed);
  ASSERT_TRUE(WaitFor([&] { return FServer.Exceptions.Count() == 1; }, FactLimit));
  EXPECT_EQ(FServer.Exceptions.Entries()[0],
            "TLS start refused: 15 bytes of plain input arrived before the switch.");

  // A server (scripted: no real one does this) that sends a reply behind its 220.
  TRawListener Listener;
  auto Transport = NewClientTransport(FPKI);
  Transport->SetMode(TIdTLSMode::tmExplicit);
  Transport->ConnectTo("localhost", Listener.Port(), "", 0, 0, 0, -1);
  TIdTCPConnection Connection(nullptr);
  Connection.SetIOHandler(std::move(Transport));
  TRawPeer Peer = Listener.Accept();
  Peer.Send("220 ready\r\n");
  Connection.ReadReply({220});
  Connection.WriteLine("STARTTLS");
  EXPECT_EQ(Peer.Receive(10), "STARTTLS\r\n");
  Peer.Send("220 go\r\n250 injected\r\n");
  Connection.ReadReply({220});
  EXPECT_THROW(Id::StartTLS(Connection), EIdTLSStartRefused);
  EXPECT_FALSE(Connection.IsConnected());
  EXPECT_EQ(Peer.ReadUntilClosed(), "") << "no hello went out";
}
