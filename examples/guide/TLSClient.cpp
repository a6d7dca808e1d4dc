// SPDX-License-Identifier: MIT
// A client of the line protocol over TLS: UseTLS makes each Connect of the client a TLS one,
// which checks the server's certificate (against the system's roots, or the CA file given) and
// the host name before anything is sent.
//
//   guide_tlsclient <host> <port> <command> [<CA file>]
#include <cstdio>
#include <cstdlib>

#include <idframework/connection/IdClient.h>
#include <idframework/tls/IdTLSClient.h>
#include <idframework/tls/IdTLSExceptions.h>

using namespace Id;

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s <host> <port> <command> [<CA file>]\n", argv[0]);
    return 2;
  }
  TIdTCPClient Client;
  try {
    TIdTLSContext& Context = UseTLS(Client);
    if (argc == 5) Context.LoadTrustFile(argv[4]);     // else the system's roots
    Client.Connect(argv[1], std::atoi(argv[2]), 5000); // TCP connect and handshake
    Client.SetReadTimeout(10000);
    Client.ReadReply({200}); // the greeting
    Client.SendCommand(argv[3], {});
    std::fputs(Client.LastReply().FormatReply().c_str(), stdout);
    Client.CloseConnection();
  } catch (const EIdTLSCertificateError& E) { // not trusted, expired, another host's name
    std::fprintf(stderr, "refused the server: %s\n", E.what());
    return 1;
  } catch (const Exception& E) {
    std::fprintf(stderr, "failed: %s\n", E.what());
    return 1;
  }
  return 0;
}
