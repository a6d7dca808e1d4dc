// SPDX-License-Identifier: MIT
// Certificates chosen by the name a client asks for (SNI) and replaced while the server runs:
// the first chain and key serve every name without one of its own; SIGHUP reads every file again
// (new handshakes get the new certificates, sessions already made keep theirs); SIGINT or SIGTERM
// stops. Tells each client the name it asked for.
//
//   guide_tlsnames <chain> <key> [<name> <chain> <key>]...
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <idframework/server/IdServer.h>
#include <idframework/tls/IdServerIOHandlerTLS.h>
#include <idframework/tls/IdTLSExceptions.h>

using namespace Id;

// A certificate and its key, as a context to hand to the server's context.
std::shared_ptr<const TIdTLSContext> LoadCertificate(const char* AChain, const char* AKey) {
  auto Certificate = std::make_shared<TIdTLSContext>(TIdTLSRole::trServer);
  Certificate->UseCertificateChainFile(AChain);
  Certificate->UsePrivateKeyFile(AKey);
  return Certificate;
}

// Reads every file first, so that a failure changes nothing. Any thread, at any time, also while
// the server runs.
void LoadAll(TIdTLSContext& AContext, int argc, char** argv) {
  const auto Default = LoadCertificate(argv[1], argv[2]);
  std::vector<std::pair<std::string, std::shared_ptr<const TIdTLSContext>>> Names;
  for (int I = 3; I + 2 < argc; I += 3)
    Names.emplace_back(argv[I], LoadCertificate(argv[I + 1], argv[I + 2]));
  AContext.ReplaceCertificate(Default);
  for (const auto& [Name, Certificate] : Names)
    AContext.AddServerName(Name, Certificate);
}

int main(int argc, char** argv) {
  if (argc < 3 || (argc - 3) % 3 != 0) {
    std::fprintf(stderr, "usage: %s <chain> <key> [<name> <chain> <key>]...\n", argv[0]);
    return 2;
  }
  sigset_t Signals;
  sigemptyset(&Signals);
  for (int Signal : {SIGHUP, SIGINT, SIGTERM})
    sigaddset(&Signals, Signal);
  pthread_sigmask(SIG_BLOCK, &Signals, nullptr);

  TIdServerIOHandlerTLS TLS(nullptr);
  TIdTCPServer Server(nullptr);
  Server.SetIOHandler(&TLS);
  Server.Bindings().AddBinding()->SetIP("127.0.0.1");
  Server.OnExecute = [](TIdPeerThread& AThread) {
    TIdTCPServerConnection& Connection = *AThread.PeerConnection();
    const auto& Transport = dynamic_cast<TIdIOHandlerTLS&>(*Connection.IOHandler());
    Connection.WriteLine("you asked for \"" + Transport.Session()->ServerName() + "\"");
    Connection.CloseConnection();
  };
  try {
    LoadAll(TLS.Context(), argc, argv);
    Server.SetActive(true);
  } catch (const EIdException& E) {
    std::fprintf(stderr, "cannot serve: %s\n", E.what());
    return 1;
  }
  std::printf("listening on 127.0.0.1:%d\n", Server.BoundPort());
  std::fflush(stdout);

  int Signal = 0;
  while (sigwait(&Signals, &Signal) == 0 && Signal == SIGHUP) {
    try {
      LoadAll(TLS.Context(), argc, argv);
      std::puts("certificates read again");
    } catch (const EIdTLSSetupError& E) { // a file half written, say: the old ones stay
      std::printf("kept the certificates: %s\n", E.what());
    }
    std::fflush(stdout);
  }
  Server.SetActive(false);
}
