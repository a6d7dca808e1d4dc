// SPDX-License-Identifier: MIT
// Load generator for the benchmarks: one thread, epoll, non-blocking connects, to loopback only.
//
// Modes:
//   close  connect, read until the server closes, check the bytes (--expect), count one connection
//   line   persistent connections; send --line plus CR LF, wait for one reply line starting with
//          --reply, repeat; counts requests
//   hold   open --concurrency connections (at most --window connecting at once), each sends one
//          line and waits for its reply, then stays idle; prints "ready=N ready_ms=T" when all are
//          served, then waits until the server closes them, SIGTERM/SIGINT, or --hold seconds;
//          --hold 0 leaves once all are served (ready_ms: the time from the first connect until
//          the last first reply, bounded by --timeout-ms)
//
// Prints one line of key=value facts at the end. Exit code 0 unless the arguments are wrong.
//
//   idload --port P [--host 127.0.0.1] [--mode close] [--concurrency 1] [--duration 5]
//          [--count N] [--cpu N] [--expect test] [--line PING] [--reply 200]
//          [--timeout-ms 5000] [--window 64] [--hold 60]
//   idload --free-port     prints a port that was free on 127.0.0.1 a moment ago

#include "bench/BenchSupport.h"
#include "bench/LoadGenerator.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <unistd.h>

namespace Id::Bench {
namespace {

TLoadMode ParseMode(const std::string& AText) {
  if (AText == "close") return TLoadMode::lmClose;
  if (AText == "line") return TLoadMode::lmLine;
  if (AText == "hold") return TLoadMode::lmHold;
  throw std::runtime_error("unknown --mode " + AText);
}

TLoadOptions ParseOptions(const TBenchArgs& AArgs) {
  TLoadOptions Opt;
  Opt.Host = AArgs.Str("host", Opt.Host);
  Opt.Port = int(AArgs.Int("port", 0));
  Opt.Mode = ParseMode(AArgs.Str("mode", "close"));
  Opt.Concurrency = size_t(AArgs.Int("concurrency", 1));
  Opt.DurationS = AArgs.Real("duration", Opt.DurationS);
  Opt.Count = uint64_t(AArgs.Int("count", 0));
  Opt.Expect = AArgs.Str("expect", Opt.Expect);
  Opt.Line = AArgs.Str("line", Opt.Line);
  Opt.ReplyPrefix = AArgs.Str("reply", Opt.ReplyPrefix);
  Opt.TimeoutMs = int(AArgs.Int("timeout-ms", Opt.TimeoutMs));
  Opt.Window = size_t(AArgs.Int("window", long(Opt.Window)));
  Opt.HoldS = AArgs.Real("hold", Opt.HoldS);
  if (Opt.Port <= 0 || Opt.Port > 65535) throw std::runtime_error("--port is required");
  if (Opt.Concurrency == 0 || Opt.Window == 0) throw std::runtime_error("zero concurrency");
  if (Opt.DurationS > 600 || Opt.HoldS > 600) throw std::runtime_error("runs are bounded: 600 s");
  if (Opt.HoldS < 0) throw std::runtime_error("--hold below 0");
  return Opt;
}

int PrintFreePort() {
  int Fd = ListenLoopback(0, 1);
  PrintFact("port", std::to_string(LocalPort(Fd)));
  close(Fd);
  return 0;
}

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  if (Args.Has("free-port")) return PrintFreePort();
  TLoadOptions Opt = ParseOptions(Args);
  InstallStopSignal();
  if (Args.Has("cpu")) PinToCpu(int(Args.Int("cpu", 0)));
  TLoadGenerator Generator(Opt);
  Generator.Run();
  std::printf("%s\n", Generator.Report().c_str());
  return 0;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("idload", &Id::Bench::Main, argc, argv, 2);
}
