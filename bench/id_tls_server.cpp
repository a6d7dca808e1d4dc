// SPDX-License-Identifier: MIT
// The framework's server over TLS for the benchmarks, on 127.0.0.1: each client gets a full
// TLS handshake (no session tickets, no session cache; with --resumption 1 both are on) and
// then either "test" (--mode hello, as the program's service) or --bytes of data sent in --block
// pieces (--mode bulk); then the server closes the session. Prints port=N when listening; on
// SIGTERM sets Active false.
//
//   id_tls_server --cert C --key K [--mode hello|bulk] [--bytes N] [--block 1048576]
//                 [--resumption 0] [--ciphersuites TLS_AES_128_GCM_SHA256] [--port 0]
//                 [--backlog 15]

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench/BenchSupport.h"
#include "bench/IdBenchServer.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdTCPServer.h"
#include "idframework/tls/IdServerIOHandlerTLS.h"

namespace Id::Bench {
namespace {

void ConfigureTLS(TIdServerIOHandlerTLS& AHandler, const TBenchArgs& AArgs) {
  TIdTLSContext& Context = AHandler.Context();
  Context.UseCertificateChainFile(AArgs.Str("cert", ""));
  Context.UsePrivateKeyFile(AArgs.Str("key", ""));
  Context.SetMinimumVersion(TIdTLSVersion::tvTLS13);
  Context.SetCipherSuites(AArgs.Str("ciphersuites", "TLS_AES_128_GCM_SHA256"));
  // Every handshake a full one unless asked, as the peer is configured.
  Context.SetSessionResumption(AArgs.Int("resumption", 0) != 0);
}

// Sends ABytes of filler in ABlock pieces through the connection. Peer thread.
void SendBulk(TIdTCPConnection& AConnection, const std::string& ABlock, uint64_t ABytes) {
  for (uint64_t Sent = 0; Sent < ABytes;) {
    const auto Count = static_cast<int32_t>(std::min<uint64_t>(ABlock.size(), ABytes - Sent));
    AConnection.WriteBytes(ABlock.data(), Count);
    Sent += uint64_t(Count);
  }
}

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  const std::string Mode = Args.Str("mode", "hello");
  if (Mode != "hello" && Mode != "bulk") throw std::runtime_error("unknown --mode " + Mode);
  const uint64_t Bytes = uint64_t(Args.Int("bytes", 1L << 30));
  const std::string Block(size_t(Args.Int("block", 1 << 20)), 'x');
  InstallStopSignal();
  auto Handler = std::make_unique<TIdServerIOHandlerTLS>(nullptr);
  ConfigureTLS(*Handler, Args);
  auto Server = std::make_unique<TIdTCPServer>(nullptr);
  Server->SetIOHandler(Handler.get());
  // Runs on the peer thread of each connection, after its handshake.
  Server->OnExecute = [&](TIdPeerThread& AThread) {
    TIdTCPConnection& Connection = *AThread.PeerConnection();
    if (Mode == "hello")
      Connection.WriteText("test");
    else
      SendBulk(Connection, Block, Bytes);
    Connection.CloseConnection();
  };
  StartOnLoopback(*Server, Args);
  ServeUntilStopSignal(*Server);
  return 0;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("id_tls_server", &Id::Bench::Main, argc, argv);
}
