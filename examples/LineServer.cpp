// SPDX-License-Identifier: MIT
// A line-protocol server built on command handlers: a greeting, HELP, ECHO, ADD, QUIT and an
// answer for every other line. Listens on 127.0.0.1 (port from the command line, 0 for any)
// until SIGINT or SIGTERM, then drains: it stops accepting at once and lets the connected
// clients finish for up to 10 s.
//
//   lineserver [port] [--proxy] [--reuseport] [--systemd]
//
// --proxy      every client comes through a load balancer that sends the PROXY protocol header
//              (examples/balancer/)
// --reuseport  shares the port with other processes started with it, the system spreading the
//              clients among them
// --systemd    takes the listening socket of its address and port from the service manager when
//              it hands one over, and tells it when it is ready and when it stops
//              (examples/systemd/)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "examples/LineCommands.h"
#include <idframework/server/IdServer.h>

using namespace Id;
using namespace Id::Examples;

int main(int argc, char** argv) {
  const sigset_t Stop = BlockStopSignals();
  try {
    TIdTCPServer Server(nullptr);
    TIdSocketHandle& Binding = PrepareLineServer(Server, argc > 1 ? std::atoi(argv[1]) : 0);
    for (int I = 2; I < argc; ++I) {
      const std::string Option = argv[I];
      if (Option == "--proxy") Server.SetProxyProtocol(true);
      if (Option == "--reuseport") Binding.SetReusePort(true);
      if (Option == "--systemd") {
        Server.SetSocketActivation(true);
        Server.SetServiceNotifications(true);
      }
    }
    Server.SetActive(true);
    std::printf("listening on 127.0.0.1:%d\n", Binding.Port());
    std::fflush(stdout);
    ServeUntilStopSignal(Server, Stop);
  } catch (const Exception& E) {
    std::fprintf(stderr, "%s\n", E.what());
    return 1;
  }
  return 0;
}
