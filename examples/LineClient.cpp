// A client of the line server: sends each command given on the command line (or, without any,
// each line of standard input) with SendCommand and prints the numbered reply it reads back.
//
//   lineclient <port> [command ...]
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "connection/IdClient.h"

using namespace Id;

namespace {

void PrintReply(TIdTCPConnection& AConnection) {
  std::fputs(AConnection.LastReply().FormatReply().c_str(), stdout);
}

// HELP answers with a reply followed by a dot-terminated text block.
void PrintTextBlock(TIdTCPConnection& AConnection) {
  for (std::string Line = AConnection.ReadLine(); Line != "."; Line = AConnection.ReadLine())
    std::printf("  %s\n", Line == ".." ? "." : Line.c_str());
}

// False once the server has said goodbye.
bool Run(TIdTCPConnection& AConnection, const std::string& ACommand) {
  const int16_t Code = AConnection.SendCommand(ACommand, {});
  PrintReply(AConnection);
  if (Code == 214) PrintTextBlock(AConnection);
  return Code != 221;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <port> [command ...]\n", argv[0]);
    return 2;
  }
  try {
    TIdTCPConnection Connection(nullptr);
    auto Transport = std::make_unique<TIdIOHandlerSocket>(nullptr);
    Transport->OpenIO();
    Transport->ConnectTo("127.0.0.1", std::atoi(argv[1]), "", 0, 0, 0, -1);
    Connection.SetIOHandler(std::move(Transport));
    Connection.ReadReply({200}); // the greeting
    PrintReply(Connection);

    std::vector<std::string> Commands(argv + 2, argv + argc);
    bool Open = true;
    for (size_t I = 0; Open && I < Commands.size(); ++I)
      Open = Run(Connection, Commands[I]);
    for (std::string Line; Open && Commands.empty() && std::getline(std::cin, Line);)
      Open = Run(Connection, Line);
    Connection.CloseConnection();
  } catch (const Exception& E) {
    std::fprintf(stderr, "%s\n", E.what());
    return 1;
  }
  return 0;
}
