// SPDX-License-Identifier: MIT
// Where errors arrive on a server: activation raises, and every exception of a peer thread is
// reported through OnException, the client's goodbye included.
#include <cstdio>
#include <cstdlib>

#include <idframework/server/IdServer.h>

using namespace Id;

int main(int argc, char** argv) {
  TIdTCPServer Server(nullptr);
  TIdSocketHandle* Binding = Server.Bindings().AddBinding();
  Binding->SetIP("127.0.0.1");
  Binding->SetPort(argc > 1 ? std::atoi(argv[1]) : 0);
  Server.OnExecute = [](TIdPeerThread& AThread) {
    TIdTCPConnection& Connection = *AThread.PeerConnection();
    const int32_t Value = StrToInt(Connection.ReadLine()); // EConvertError on "abc"
    Connection.WriteLine(IntToStr(int64_t(Value) * 2));
  };
  // Peer thread. A client that closed (EIdConnClosedGracefully, an EIdSilentException) is a
  // normal end; anything else ends that one connection, never the server.
  Server.OnException = [](TIdPeerThread&, const Exception& AException) {
    if (dynamic_cast<const EIdSilentException*>(&AException) == nullptr)
      std::fprintf(stderr, "connection ended: %s\n", AException.what());
  };
  try {
    Server.SetActive(true); // a port in use: EIdCouldNotBindSocket, and Active stays false
  } catch (const EIdException& E) {
    std::fprintf(stderr, "cannot serve: %s\n", E.what());
    return 1;
  }
  std::printf("listening on 127.0.0.1:%d, Enter stops\n", Server.BoundPort());
  std::fflush(stdout);
  std::getchar();
  Server.SetActive(false);
}
