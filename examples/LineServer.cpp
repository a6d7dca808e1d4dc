// A line-protocol server built on command handlers: a greeting, HELP, ECHO, ADD, QUIT and an
// answer for every other line. Listens on 127.0.0.1 (port from the command line, 0 for any) and
// runs until interrupted.
//
//   lineserver [port]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "examples/LineCommands.h"
#include "server/IdServer.h"

using namespace Id;
using namespace Id::Examples;

int main(int argc, char** argv) {
  // Blocked before any thread starts, so that only sigwait below receives them.
  sigset_t Stop;
  sigemptyset(&Stop);
  sigaddset(&Stop, SIGINT);
  sigaddset(&Stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &Stop, nullptr);

  try {
    TIdTCPServer Server(nullptr);
    TIdSocketHandle& Binding = PrepareLineServer(Server, argc > 1 ? std::atoi(argv[1]) : 0);
    Server.SetActive(true);
    std::printf("listening on 127.0.0.1:%d\n", Binding.Port());
    std::fflush(stdout);

    int Signal = 0;
    sigwait(&Stop, &Signal);
    Server.SetActive(false);
  } catch (const Exception& E) {
    std::fprintf(stderr, "%s\n", E.what());
    return 1;
  }
  return 0;
}
