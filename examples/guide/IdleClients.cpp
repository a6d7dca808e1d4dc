// SPDX-License-Identifier: MIT
// Time limits on a server: a client silent for 30 s is told so and disconnected, and a line
// longer than 1000 bytes ends the connection with an error.
#include <cstdio>

#include <idframework/server/IdServer.h>

using namespace Id;

int main() {
  TIdTCPServer Server(nullptr);
  Server.Bindings().AddBinding()->SetIP("127.0.0.1");
  Server.OnConnect = [](TIdPeerThread& AThread) {
    AThread.PeerConnection()->SetMaxLineLength(1000); // longer: EIdReadLnMaxLineLengthExceeded
  };
  Server.OnExecute = [](TIdPeerThread& AThread) {
    TIdTCPConnection& Connection = *AThread.PeerConnection();
    // A time given to the call returns "" with LineTimedOut; ReadTimeout would raise instead.
    const std::string Line = Connection.ReadLine("", 30000);
    if (Connection.LineTimedOut()) {
      Connection.WriteLine("421 Idle for too long");
      Connection.CloseConnection(); // the peer thread ends after this step
      return;
    }
    Connection.WriteLine("250 " + Line);
  };
  Server.SetActive(true);
  std::printf("listening on 127.0.0.1:%d, Enter stops\n", Server.BoundPort());
  std::fflush(stdout);
  std::getchar();
  Server.SetActive(false);
}
