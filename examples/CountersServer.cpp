// SPDX-License-Identifier: MIT
// The line server with its counters served as Prometheus text on a port of its own: a scraper's
// GET of any path on the second port is answered with a snapshot of the line server's counters,
// taken without stopping it. Both listen on 127.0.0.1 until SIGINT or SIGTERM.
//
//   countersserver [port] [metrics-port]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "examples/LineCommands.h"
#include <idframework/server/IdServer.h>

using namespace Id;
using namespace Id::Examples;

namespace {

void AddCount(std::string& AText, const char* AName, const char* ALabels, int64_t AValue) {
  AText += std::string("lineserver_") + AName + ALabels + " " + std::to_string(AValue) + "\n";
}

std::string PrometheusText(const TIdServerCounters& C) {
  std::string T;
  T += "# TYPE lineserver_accepted_total counter\n";
  AddCount(T, "accepted_total", "", C.Accepted);
  T += "# TYPE lineserver_active gauge\n";
  AddCount(T, "active", "", C.Active);
  T += "# TYPE lineserver_refused_total counter\n";
  AddCount(T, "refused_total", "{reason=\"limit\"}", C.RefusedLimit);
  AddCount(T, "refused_total", "{reason=\"per_address\"}", C.RefusedPerAddress);
  AddCount(T, "refused_total", "{reason=\"resources\"}", C.RefusedResources);
  AddCount(T, "refused_total", "{reason=\"handshake\"}", C.RefusedHandshake);
  T += "# TYPE lineserver_timed_out_total counter\n";
  AddCount(T, "timed_out_total", "{kind=\"read\"}", C.TimedOutRead);
  AddCount(T, "timed_out_total", "{kind=\"write\"}", C.TimedOutWrite);
  AddCount(T, "timed_out_total", "{kind=\"line\"}", C.TimedOutLine);
  AddCount(T, "timed_out_total", "{kind=\"idle\"}", C.TimedOutIdle);
  T += "# TYPE lineserver_bytes_total counter\n";
  AddCount(T, "bytes_total", "{direction=\"in\"}", C.BytesIn);
  AddCount(T, "bytes_total", "{direction=\"out\"}", C.BytesOut);
  return T;
}

// Reads the request up to its blank line, answers with the text and closes.
void ServeMetrics(TIdTCPServer& AMetrics, TIdTCPServer& AWatched, int32_t APort) {
  TIdSocketHandle* Binding = AMetrics.Bindings().AddBinding();
  Binding->SetIP("127.0.0.1");
  Binding->SetPort(APort);
  AMetrics.OnExecute = [&AWatched](TIdPeerThread& AThread) {
    TIdTCPServerConnection& Connection = *AThread.PeerConnection();
    Connection.SetReadTimeout(5000);
    while (!Connection.ReadLine().empty()) {
    }
    const std::string Body = PrometheusText(AWatched.Counters());
    Connection.WriteText("HTTP/1.0 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\n"
                         "Content-Length: " +
                         std::to_string(Body.size()) + "\r\n\r\n" + Body);
    Connection.CloseConnection();
  };
}

} // namespace

int main(int argc, char** argv) {
  const sigset_t Stop = BlockStopSignals();
  try {
    TIdTCPServer Server(nullptr);
    TIdSocketHandle& Binding = PrepareLineServer(Server, argc > 1 ? std::atoi(argv[1]) : 0);
    TIdTCPServer Metrics(nullptr);
    ServeMetrics(Metrics, Server, argc > 2 ? std::atoi(argv[2]) : 0);
    Server.SetActive(true);
    Metrics.SetActive(true);
    std::printf("listening on 127.0.0.1:%d, metrics on 127.0.0.1:%d\n", Binding.Port(),
                Metrics.BoundPort());
    std::fflush(stdout);
    ServeUntilStopSignal(Server, Stop);
  } catch (const Exception& E) {
    std::fprintf(stderr, "%s\n", E.what());
    return 1;
  }
  return 0;
}
