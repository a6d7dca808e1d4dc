// A line-protocol server built on command handlers: a greeting, HELP, ECHO, ADD, QUIT and an
// answer for every other line. Listens on 127.0.0.1 (port from the command line, 0 for any) and
// runs until interrupted.
//
//   lineserver [port]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "examples/LineCommands.h"
#include "server/IdServer.h"

using namespace Id;
using namespace Id::Examples;

int main(int argc, char** argv) {
  const sigset_t Stop = BlockStopSignals();
  try {
    TIdTCPServer Server(nullptr);
    TIdSocketHandle& Binding = PrepareLineServer(Server, argc > 1 ? std::atoi(argv[1]) : 0);
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
