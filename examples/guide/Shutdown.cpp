// SPDX-License-Identifier: MIT
// An orderly shutdown on SIGINT or SIGTERM: the listeners stop, every connection is closed, and
// the peer threads get up to 2 s to finish before deactivation reports them.
#include <csignal>
#include <cstdio>

#include <idframework/server/IdServer.h>

using namespace Id;

int main() {
  // Blocked before any thread starts, so that only sigwait below receives them.
  sigset_t Stop;
  sigemptyset(&Stop);
  sigaddset(&Stop, SIGINT);
  sigaddset(&Stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &Stop, nullptr);

  TIdTCPServer Server(nullptr);
  Server.Bindings().AddBinding()->SetIP("127.0.0.1");
  Server.SetTerminateWaitTime(2000);
  Server.OnExecute = [](TIdPeerThread& AThread) {
    TIdTCPConnection& Connection = *AThread.PeerConnection();
    Connection.WriteLine(Connection.ReadLine()); // fails at once when the server closes it
  };
  Server.OnDisconnect = [](TIdPeerThread&) { // peer thread
    std::puts("a client left");
    std::fflush(stdout);
  };
  Server.SetActive(true);
  std::printf("listening on 127.0.0.1:%d\n", Server.BoundPort());
  std::fflush(stdout);

  int Signal = 0;
  sigwait(&Stop, &Signal);
  try {
    Server.SetActive(false);
  } catch (const EIdTerminateThreadTimeout&) {
    // Some handler did not return within 2 s; destroying the server waits for it.
    std::fputs("peer threads still running\n", stderr);
  }
}
