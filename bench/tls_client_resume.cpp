// SPDX-License-Identifier: MIT
// The framework's TLS client against a server on 127.0.0.1: --count connections one after the
// other, each a handshake, everything the server sends until it closes, and a close; with
// --resume 1 each offers the session of the one before. The first connection is not counted.
// Prints rate=<handshakes/s> resumed=<n> cpu_us=<process CPU per connection, both threads>.
//
//   tls_client_resume --port P --trust CA [--count 2000] [--resume 0] [--cpu -1]
#include <sys/resource.h>

#include <cstdio>
#include <memory>

#include "BenchSupport.h"
#include "idframework/connection/IdClient.h"
#include "idframework/tls/IdIOHandlerTLS.h"

namespace Id::Bench {
namespace {

double ProcessCpuSeconds() {
  rusage Usage{};
  ::getrusage(RUSAGE_SELF, &Usage);
  return double(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
         double(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  const long Count = Args.Int("count", 2000);
  const bool Resume = Args.Int("resume", 0) != 0;
  if (Args.Int("cpu", -1) >= 0) PinToCpu(int(Args.Int("cpu", -1)));
  TIdTCPClient Client;
  auto Transport = std::make_unique<TIdIOHandlerTLS>(nullptr);
  TIdIOHandlerTLS& TLS = *Transport;
  TLS.Context().LoadTrustFile(Args.Str("trust", "cert.pem"));
  Client.SetIOHandler(std::move(Transport));
  long Resumed = 0;
  uint64_t Start = 0;
  double CpuStart = 0;
  for (long I = 0; I <= Count; ++I) {
    if (I == 1) {
      Start = NowNs();
      CpuStart = ProcessCpuSeconds();
    }
    Client.Connect("localhost", int32_t(Args.Int("port", 0)), 5000);
    Client.ReadUntilClosed(); // under TLS 1.3 the ticket comes before the server's bytes
    const TIdTLSEngine& Session = *TLS.Session();
    if (I > 0 && Session.SessionReused()) ++Resumed;
    if (Resume) TLS.SetOfferedSession(Session.SavedSession());
    Client.CloseConnection();
  }
  const double Seconds = double(NowNs() - Start) / 1e9;
  std::printf("rate=%.0f resumed=%ld cpu_us=%.1f\n", double(Count) / Seconds, Resumed,
              (ProcessCpuSeconds() - CpuStart) / double(Count) * 1e6);
  std::fflush(stdout);
  return 0;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("tls_client_resume", &Id::Bench::Main, argc, argv);
}
