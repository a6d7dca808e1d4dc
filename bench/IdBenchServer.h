// SPDX-License-Identifier: MIT
// The framework's server as the benchmarks run it: loopback only, port and backlog from the
// command line, the port printed once listening, and Active false timed on SIGTERM.
#pragma once

#include <memory>

#include "bench/BenchSupport.h"
#include "idframework/server/IdTCPServer.h"

namespace Id::Bench {

/// Configures AServer with one binding on 127.0.0.1 (--port, default 0) and ListenQueue
/// (--backlog, default the server's own 15), activates it and prints port=N. Main thread;
/// raises what activation raises.
void StartOnLoopback(TIdTCPServer& AServer, const TBenchArgs& AArgs);

/// Waits for SIGTERM or SIGINT, then sets Active false and prints stop_ms=N, the time that took
/// (all peer threads ended). Main thread; raises what deactivation raises.
void ServeUntilStopSignal(TIdTCPServer& AServer);

} // namespace Id::Bench
