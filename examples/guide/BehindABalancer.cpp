// SPDX-License-Identifier: MIT
// One of several instances of a service behind HAProxy or nginx: each client's own address comes
// from the balancer's PROXY protocol header; under systemd the listening socket comes from the
// socket unit and systemd hears when the service is ready and when it stops; a stop drains.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <idframework/server/IdServer.h>

using namespace Id;

int main(int argc, char** argv) {
  sigset_t Stop;
  sigemptyset(&Stop);
  sigaddset(&Stop, SIGINT);
  sigaddset(&Stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &Stop, nullptr);

  TIdTCPServer Server(nullptr);
  TIdSocketHandle* Binding = Server.Bindings().AddBinding();
  Binding->SetIP("127.0.0.1"); // only the balancer reaches it
  Binding->SetPort(argc > 1 ? std::atoi(argv[1]) : 7001);
  Server.SetProxyProtocol(true);        // every client comes through the balancer
  Server.SetSocketActivation(true);     // systemd's socket for 127.0.0.1:port, when it has one
  Server.SetServiceNotifications(true); // READY=1, STOPPING=1 and the watchdog's keep-alive
  Server.OnExecute = [](TIdPeerThread& AThread) {
    TIdTCPServerConnection& Connection = *AThread.PeerConnection();
    Connection.WriteLine("hello " + Connection.ClientIP() + " port " +
                         IntToStr(Connection.ClientPort()));
    Connection.CloseConnection();
  };
  Server.SetActive(true);

  int Signal = 0;
  sigwait(&Stop, &Signal);
  Server.Drain(10000); // no new client; those connected get 10 s
}
