// SPDX-License-Identifier: MIT
// The program's service without its window: a TIdTCPServer whose OnExecute writes "test" and
// closes the connection, on 127.0.0.1. Prints port=N when listening; on SIGTERM sets Active
// false and prints stop_ms=N. With --limits every limit for hostile clients is on (a per-address
// limit no client reaches, write, line and idle time limits none runs out), for their cost.
//
//   id_test_server [--port 0] [--backlog 15] [--limits]

#include <cstdio>
#include <exception>
#include <memory>

#include "bench/BenchSupport.h"
#include "bench/IdBenchServer.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdTCPServer.h"

namespace Id::Bench {
namespace {

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  InstallStopSignal();
  auto Server = std::make_unique<TIdTCPServer>(nullptr);
  // Runs on the peer thread of each connection, as the program's handler does.
  Server->OnExecute = [](TIdPeerThread& AThread) {
    AThread.PeerConnection()->WriteText("test");
    AThread.PeerConnection()->CloseConnection();
  };
  if (Args.Has("limits")) {
    Server->SetMaxConnectionsPerAddress(1000000);
    Server->SetWriteTimeout(30000);
    Server->SetLineTimeout(30000);
    Server->SetIdleTimeout(30000);
  }
  StartOnLoopback(*Server, Args);
  ServeUntilStopSignal(*Server);
  return 0;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("id_test_server", &Id::Bench::Main, argc, argv);
}
