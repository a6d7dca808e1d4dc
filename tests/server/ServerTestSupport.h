// SPDX-License-Identifier: MIT
// Helpers for the server tests: starting a server on an ephemeral loopback port, thread-safe event
// logs and the process's descriptor and thread counts. The clients are support/RawPeer.h's.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "idframework/net/IdSocketHandle.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdTCPServer.h"
#include "support/ProcessFacts.h"
#include "support/RawPeer.h"
#include "support/WaitFor.h"

namespace IdTest {

/// Adds a binding on 127.0.0.1 with port 0, activates, and returns the port actually bound.
inline int32_t StartOnLoopback(Id::TIdTCPServer& AServer) {
  Id::TIdSocketHandle* Binding = AServer.Bindings().AddBinding();
  Binding->SetIP("127.0.0.1");
  Binding->SetPort(0);
  AServer.SetActive(true);
  return Binding->Port();
}

/// True when a client can connect to 127.0.0.1:APort (the connection is closed at once).
inline bool Accepts(int32_t APort) {
  return TRawPeer(APort).IsOpen();
}

/// A log of texts written by many threads.
class TEventLog {
public:
  void Add(const std::string& AEntry) {
    std::lock_guard<std::mutex> Guard(FLock);
    FEntries.push_back(AEntry);
  }
  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> Guard(FLock);
    return FEntries;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> Guard(FLock);
    return FEntries.size();
  }
  size_t CountOf(const std::string& AEntry) const {
    std::lock_guard<std::mutex> Guard(FLock);
    size_t N = 0;
    for (const auto& E : FEntries)
      N += E == AEntry ? 1 : 0;
    return N;
  }

private:
  mutable std::mutex FLock;
  std::vector<std::string> FEntries;
};

// OpenDescriptorCount and ThreadCount: support/ProcessFacts.h.

} // namespace IdTest
