// SPDX-License-Identifier: MIT
#include "bench/IdBenchServer.h"

#include <string>

#include "idframework/net/IdSocketHandle.h"

namespace Id::Bench {

void StartOnLoopback(TIdTCPServer& AServer, const TBenchArgs& AArgs) {
  TIdSocketHandle* Binding = AServer.Bindings().AddBinding();
  Binding->SetIP("127.0.0.1");
  Binding->SetPort(int32_t(AArgs.Int("port", 0)));
  if (AArgs.Has("backlog")) AServer.SetListenQueue(int32_t(AArgs.Int("backlog", 15)));
  AServer.SetActive(true);
  PrintFact("port", std::to_string(Binding->Port()));
}

void ServeUntilStopSignal(TIdTCPServer& AServer) {
  WaitForStopSignal();
  const uint64_t Start = NowNs();
  AServer.SetActive(false);
  PrintFact("stop_ms", std::to_string((NowNs() - Start) / 1000000));
}

} // namespace Id::Bench
