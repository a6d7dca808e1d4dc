// SPDX-License-Identifier: MIT
// A minimal server: answers every line with "echo: <line>" on 127.0.0.1 until Enter is pressed.
#include <cstdio>

#include <idframework/server/IdServer.h>

using namespace Id;

int main() {
  TIdTCPServer Server(nullptr);
  TIdSocketHandle* Binding = Server.Bindings().AddBinding();
  Binding->SetIP("127.0.0.1");
  Binding->SetPort(0); // 0: the system chooses
  // Runs on the client's own peer thread, again and again while the client stays connected.
  Server.OnExecute = [](TIdPeerThread& AThread) {
    TIdTCPConnection& Connection = *AThread.PeerConnection();
    Connection.WriteLine("echo: " + Connection.ReadLine());
  };
  Server.SetActive(true);
  std::printf("listening on 127.0.0.1:%d, Enter stops\n", Server.BoundPort());
  std::fflush(stdout); // shows at once, also when the output is piped
  std::getchar();
  Server.SetActive(false); // closes every connection and waits for the peer threads
}
