// SPDX-License-Identifier: MIT
// A TLS server: answers every line with "echo: <line>" over TLS from the first byte, with the
// certificate chain and key given (an encrypted key opens with the passphrase in the variable
// TLS_KEY_PASSPHRASE). With a CA file, every client must show a certificate that CA issued.
// Serves 127.0.0.1 until Enter is pressed.
//
//   guide_tlsserver <certificate chain> <key> [<CA file of the clients>]
#include <cstdio>
#include <cstdlib>

#include <idframework/server/IdServer.h>
#include <idframework/tls/IdServerIOHandlerTLS.h>
#include <idframework/tls/IdTLSExceptions.h>

using namespace Id;

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s <certificate chain> <key> [<CA file>]\n", argv[0]);
    return 2;
  }
  TIdServerIOHandlerTLS TLS(nullptr); // declared first: it must outlive the server
  TIdTLSContext& Context = TLS.Context();
  try {
    if (const char* Passphrase = std::getenv("TLS_KEY_PASSPHRASE"))
      Context.SetPrivateKeyPassphrase(Passphrase); // never asked for on the terminal
    Context.UseCertificateChainFile(argv[1]);
    Context.UsePrivateKeyFile(argv[2]);
    if (argc == 4) {
      Context.LoadTrustFile(argv[3]);
      Context.SetClientCertificate(TIdTLSClientCertificate::ccRequire);
    }
  } catch (const EIdTLSSetupError& E) {
    std::fprintf(stderr, "%s\n", E.what());
    return 1;
  }
  // Peer thread. A client whose handshake fails ends here, before the greeting and OnConnect.
  TLS.OnHandshakeFailure = [](TIdIOHandlerTLS&, const Exception& E) {
    std::fprintf(stderr, "handshake failed: %s\n", E.what());
  };

  TIdTCPServer Server(nullptr);
  Server.SetIOHandler(&TLS);
  Server.Bindings().AddBinding()->SetIP("127.0.0.1");
  Server.OnConnect = [](TIdPeerThread& AThread) { // after the handshake
    TIdTCPServerConnection& Connection = *AThread.PeerConnection();
    const TIdTLSEngine& Session =
        *dynamic_cast<TIdIOHandlerTLS&>(*Connection.IOHandler()).Session();
    const std::string Client = Session.PeerCertificate().Subject(); // empty: none sent
    Connection.WriteLine(Session.ProtocolVersion() + " " + Session.CipherName() + ", client " +
                         (Client.empty() ? "without certificate" : Client));
  };
  Server.OnExecute = [](TIdPeerThread& AThread) {
    TIdTCPConnection& Connection = *AThread.PeerConnection();
    Connection.WriteLine("echo: " + Connection.ReadLine());
  };
  Server.SetActive(true);
  std::printf("listening on 127.0.0.1:%d, Enter stops\n", Server.BoundPort());
  std::fflush(stdout);
  std::getchar();
  Server.SetActive(false);
}
