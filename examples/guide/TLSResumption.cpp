// SPDX-License-Identifier: MIT
// A TLS client that connects twice and offers the session of the first connection on the second,
// which the server resumes with a short handshake; with a certificate and key it shows a client
// certificate. Prints the server's first line and how each handshake went.
//
//   guide_tlsresumption <host> <port> <CA file> [<client chain> <client key>]
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <idframework/connection/IdClient.h>
#include <idframework/tls/IdIOHandlerTLS.h>
#include <idframework/tls/IdTLSExceptions.h>

using namespace Id;

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) {
    std::fprintf(stderr, "usage: %s <host> <port> <CA file> [<chain> <key>]\n", argv[0]);
    return 2;
  }
  TIdTCPClient Client;
  try {
    auto Transport = std::make_unique<TIdIOHandlerTLS>(nullptr);
    TIdIOHandlerTLS& TLS = *Transport;
    TLS.Context().LoadTrustFile(argv[3]);
    if (argc == 6) { // sent when the server asks for one
      TLS.Context().UseCertificateChainFile(argv[4]);
      TLS.Context().UsePrivateKeyFile(argv[5]);
    }
    Client.SetIOHandler(std::move(Transport)); // every Connect goes over this transport
    for (int Round = 1; Round <= 2; ++Round) {
      Client.Connect(argv[1], std::atoi(argv[2]), 5000);
      Client.SetReadTimeout(10000);
      const std::string Line = Client.ReadLine(); // under TLS 1.3 the ticket comes with it
      const TIdTLSEngine& Session = *TLS.Session();
      std::printf("%d: %s, %s: %s\n", Round, Session.ProtocolVersion().c_str(),
                  Session.SessionReused() ? "resumed" : "full handshake", Line.c_str());
      TLS.SetOfferedSession(Session.SavedSession()); // offered by the next Connect
      Client.CloseConnection();
    }
  } catch (const EIdTLSCertificateError& E) {
    std::fprintf(stderr, "refused: %s\n", E.what());
    return 1;
  } catch (const Exception& E) {
    std::fprintf(stderr, "failed: %s\n", E.what());
    return 1;
  }
  std::fflush(stdout);
  return 0;
}
