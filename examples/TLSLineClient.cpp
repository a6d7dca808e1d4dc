// SPDX-License-Identifier: MIT
// A client of tlslineserver: connects over TLS (checking the server's certificate against the
// given CA file and the name localhost), or with --starttls connects in plain text, sends
// STARTTLS and switches after the server's 220; then sends each command given (or each line of
// standard input) and prints the replies.
//
//   tlslineclient <port> <CA file> [--starttls] [command ...]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "examples/LineCommands.h"
#include <idframework/connection/IdTCPConnection.h>
#include <idframework/core/IdException.h>
#include <idframework/core/IdRFCReply.h>
#include <idframework/tls/IdIOHandlerTLS.h>
#include <idframework/tls/IdStartTLS.h>

using namespace Id;
using namespace Id::Examples;

namespace {

void Describe(const TIdIOHandlerTLS& ATransport) {
  const TIdTLSEngine* Session = ATransport.Session();
  std::printf("-- %s, %s, server %s\n", Session->ProtocolVersion().c_str(),
              Session->CipherName().c_str(), Session->PeerSubject().c_str());
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <port> <CA file> [--starttls] [command ...]\n", argv[0]);
    return 2;
  }
  const bool Explicit = argc > 3 && std::strcmp(argv[3], "--starttls") == 0;
  try {
    auto Transport = std::make_unique<TIdIOHandlerTLS>(nullptr);
    TIdIOHandlerTLS& TLS = *Transport;
    TLS.Context().LoadTrustFile(argv[2]);
    TLS.SetMode(Explicit ? TIdTLSMode::tmExplicit : TIdTLSMode::tmImplicit);
    TLS.OpenIO();
    TLS.ConnectTo("localhost", std::atoi(argv[1]), "", 0, 0, 0, 10000);
    TIdTCPConnection Connection(nullptr);
    Connection.SetIOHandler(std::move(Transport));
    Connection.ReadReply({200}); // the greeting
    PrintReply(Connection);
    if (Explicit) {
      Connection.SendCommand("STARTTLS", {220});
      PrintReply(Connection);
      StartTLS(Connection);
    }
    Describe(TLS);

    RunCommands(Connection, std::vector<std::string>(argv + (Explicit ? 4 : 3), argv + argc));
  } catch (const Exception& E) {
    std::fprintf(stderr, "%s\n", E.what());
    return 1;
  }
  return 0;
}
