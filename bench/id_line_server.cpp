// SPDX-License-Identifier: MIT
// A line protocol served through the framework's command handlers: the command PING answered by
// a ReplyNormal of 200. Other lines get the server's ReplyUnknownCommand, 500. Prints port=N
// when listening; on SIGTERM sets Active false and prints stop_ms=N.
//
//   id_line_server [--port 0] [--backlog 15]

#include <cstdio>
#include <exception>
#include <memory>

#include "bench/BenchSupport.h"
#include "bench/IdBenchServer.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/server/IdCommandHandlers.h"
#include "idframework/server/IdTCPServer.h"

namespace Id::Bench {
namespace {

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  InstallStopSignal();
  auto Server = std::make_unique<TIdTCPServer>(nullptr);
  TIdCommandHandler* Ping = Server->CommandHandlers().Add();
  Ping->SetCommand("PING");
  Ping->ReplyNormal().SetNumericCode(200);
  Server->ReplyUnknownCommand().SetNumericCode(500);
  StartOnLoopback(*Server, Args);
  ServeUntilStopSignal(*Server);
  return 0;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("id_line_server", &Id::Bench::Main, argc, argv);
}
