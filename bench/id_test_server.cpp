// The program's service without its window: a TIdTCPServer whose OnExecute writes "test" and
// closes the connection, on 127.0.0.1. Prints port=N when listening; on SIGTERM sets Active
// false and prints stop_ms=N.
//
//   id_test_server [--port 0] [--backlog 15]

#include <cstdio>
#include <exception>
#include <memory>

#include "bench/BenchSupport.h"
#include "bench/IdBenchServer.h"
#include "server/IdPeerThread.h"
#include "server/IdTCPServer.h"

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
  StartOnLoopback(*Server, Args);
  ServeUntilStopSignal(*Server);
  return 0;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("id_test_server", &Id::Bench::Main, argc, argv);
}
