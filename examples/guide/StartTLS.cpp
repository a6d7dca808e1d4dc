// SPDX-License-Identifier: MIT
// STARTTLS, both sides in one program: a server whose connections start in plain text and switch
// to TLS on the command STARTTLS, and a client that connects to it, switches and sends a line.
//
//   guide_starttls <certificate chain> <key> <CA file>
#include <cstdio>
#include <memory>

#include <idframework/connection/IdClient.h>
#include <idframework/server/IdServer.h>
#include <idframework/tls/IdServerIOHandlerTLS.h>
#include <idframework/tls/IdStartTLS.h>

using namespace Id;

TIdIOHandlerTLS& TransportOf(TIdTCPConnection& AConnection) {
  return dynamic_cast<TIdIOHandlerTLS&>(*AConnection.IOHandler());
}

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <certificate chain> <key> <CA file>\n", argv[0]);
    return 2;
  }
  try {
    TIdServerIOHandlerTLS TLS(nullptr);
    TLS.Context().UseCertificateChainFile(argv[1]);
    TLS.Context().UsePrivateKeyFile(argv[2]);
    TLS.SetMode(TIdTLSMode::tmExplicit); // plain until StartTLS
    TIdTCPServer Server(nullptr);
    Server.SetIOHandler(&TLS);
    Server.Bindings().AddBinding()->SetIP("127.0.0.1");
    Server.Greeting().SetCodeAndText(200, "Ready");
    TIdCommandHandler* Start = Server.CommandHandlers().Add();
    Start->SetCommand("STARTTLS");
    Start->SetReplyExceptionCode(454); // "TLS is already on" becomes a 454 reply
    Start->OnCommand = [](TIdCommand& ACommand) {
      TIdTCPConnection& Connection = *ACommand.SourceThread()->PeerConnection();
      if (TransportOf(Connection).TLSActive()) throw EIdException("TLS is already on");
      ACommand.CommandReply().SetCodeAndText(220, "Go ahead");
      ACommand.SendCommandReply(); // the positive reply, in plain text
      StartTLS(Connection);        // then the handshake, on this peer thread
    };
    TIdCommandHandler* Status = Server.CommandHandlers().Add();
    Status->SetCommand("STATUS");
    Status->OnCommand = [](TIdCommand& ACommand) {
      TIdTCPConnection& Connection = *ACommand.SourceThread()->PeerConnection();
      const bool On = TransportOf(Connection).TLSActive();
      ACommand.CommandReply().SetCodeAndText(250, On ? "protected" : "plain");
    };
    Server.SetActive(true);

    TIdTCPClient Client;
    auto Transport = std::make_unique<TIdIOHandlerTLS>(nullptr);
    Transport->Context().LoadTrustFile(argv[3]);
    Transport->SetMode(TIdTLSMode::tmExplicit);
    Transport->SetHostName("localhost"); // the name the certificate is checked against
    Client.SetIOHandler(std::move(Transport));
    Client.Connect("127.0.0.1", Server.BoundPort(), 5000);
    Client.SetReadTimeout(10000);
    Client.ReadReply({200});
    Client.SendCommand("STATUS", {250});
    std::printf("before: %s", Client.LastReply().FormatReply().c_str());
    Client.SendCommand("STARTTLS", {220}); // raises unless the server agrees
    StartTLS(Client);                      // the handshake, right after the reply
    Client.SendCommand("STATUS", {250});
    std::printf("after: %s", Client.LastReply().FormatReply().c_str());
    std::fflush(stdout);
    Client.CloseConnection();
    Server.SetActive(false);
  } catch (const Exception& E) {
    std::fprintf(stderr, "failed: %s\n", E.what());
    return 1;
  }
}
