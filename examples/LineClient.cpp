// SPDX-License-Identifier: MIT
// A client of the line server: sends each command given on the command line (or, without any,
// each line of standard input) with SendCommand and prints the numbered reply it reads back.
//
//   lineclient <port> [command ...]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "examples/LineCommands.h"
#include <idframework/connection/IdClient.h>

using namespace Id;
using namespace Id::Examples;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <port> [command ...]\n", argv[0]);
    return 2;
  }
  try {
    TIdTCPClient Client(nullptr);
    Client.Connect("127.0.0.1", std::atoi(argv[1]));
    Client.ReadReply({200}); // the greeting
    PrintReply(Client);
    RunCommands(Client, std::vector<std::string>(argv + 2, argv + argc));
  } catch (const Exception& E) {
    std::fprintf(stderr, "%s\n", E.what());
    return 1;
  }
  return 0;
}
