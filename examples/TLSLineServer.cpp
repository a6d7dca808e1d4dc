// SPDX-License-Identifier: MIT
// The line server over TLS: the same commands as lineserver, either on TLS from the first byte
// or, with --starttls, on a plain connection that a STARTTLS command switches to TLS (the reply
// 220 goes out in plain text, then the handshake runs). Listens on 127.0.0.1 and runs until
// interrupted.
//
//   tlslineserver <port> <certificate chain PEM> <private key PEM> [--starttls]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "examples/LineCommands.h"
#include <idframework/core/IdException.h>
#include <idframework/net/IdSocketHandle.h>
#include <idframework/server/IdPeerThread.h>
#include <idframework/tls/IdServerIOHandlerTLS.h>
#include <idframework/tls/IdStartTLS.h>

using namespace Id;
using namespace Id::Examples;

namespace {

// EHLO lists STARTTLS while the connection is plain, as mail servers do, so that clients that
// look for it (openssl s_client -starttls smtp, Python's smtplib) find it. STARTTLS: the positive
// reply in plain text, then the switch; refused once TLS is on.
void InstallStartTLS(TIdTCPServer& AServer) {
  AddLineCommand(AServer, "EHLO")->OnCommand = [](TIdCommand& ACommand) {
    TIdTCPConnection& Connection = *ACommand.SourceThread()->PeerConnection();
    ACommand.CommandReply().SetCodeAndText(250, "localhost");
    if (!dynamic_cast<TIdIOHandlerTLS&>(*Connection.IOHandler()).TLSActive())
      ACommand.CommandReply().Text().Add("STARTTLS");
  };
  TIdCommandHandler* Start = AddLineCommand(AServer, "STARTTLS");
  Start->SetReplyExceptionCode(454);
  Start->OnCommand = [](TIdCommand& ACommand) {
    TIdTCPConnection& Connection = *ACommand.SourceThread()->PeerConnection();
    auto& Transport = dynamic_cast<TIdIOHandlerTLS&>(*Connection.IOHandler());
    if (Transport.TLSActive()) throw EIdException("TLS is already on");
    ACommand.CommandReply().SetCodeAndText(220, "Ready to start TLS");
    ACommand.SendCommandReply();
    StartTLS(Connection);
  };
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <port> <certificate chain> <key> [--starttls]\n", argv[0]);
    return 2;
  }
  const bool Explicit = argc > 4 && std::strcmp(argv[4], "--starttls") == 0;
  const sigset_t Stop = BlockStopSignals();

  try {
    TIdServerIOHandlerTLS TLS(nullptr);
    TLS.Context().UseCertificateChainFile(argv[2]);
    TLS.Context().UsePrivateKeyFile(argv[3]);
    TLS.SetMode(Explicit ? TIdTLSMode::tmExplicit : TIdTLSMode::tmImplicit);
    TLS.OnHandshakeFailure = [](TIdIOHandlerTLS&, const Exception& E) {
      std::fprintf(stderr, "handshake failed: %s\n", E.what());
    };
    TIdTCPServer Server(nullptr);
    Server.SetIOHandler(&TLS);
    TIdSocketHandle& Binding = PrepareLineServer(Server, std::atoi(argv[1]));
    if (Explicit) InstallStartTLS(Server);
    Server.SetActive(true);
    std::printf("listening on 127.0.0.1:%d (%s)\n", Binding.Port(),
                Explicit ? "plain until STARTTLS" : "TLS");
    std::fflush(stdout);
    ServeUntilStopSignal(Server, Stop);
  } catch (const Exception& E) {
    std::fprintf(stderr, "%s\n", E.what());
    return 1;
  }
  return 0;
}
