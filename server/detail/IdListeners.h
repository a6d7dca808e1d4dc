// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// A server's listener threads, one per binding: started binding by binding, stopped together.
#pragma once

#include <cstdint>
#include <memory>

#include "idframework/runtime/CriticalSection.h"

namespace Id {

class TIdListenerThread;
class TIdSocketHandles;
class TIdTCPServer;

/// The listener threads of one activation of a server.
///
/// Threads: Start and Stop on the thread that activates and deactivates the server; AllRun on
/// any thread.
class TIdListeners {
public:
  TIdListeners();
  ~TIdListeners();
  TIdListeners(const TIdListeners&) = delete;
  TIdListeners& operator=(const TIdListeners&) = delete;

  /// Listening and starting a listener of AServer alternate binding by binding (a binding whose
  /// socket was handed over listens already). Raises what listening and starting raise; the
  /// listeners started by then stay until Stop.
  void Start(TIdTCPServer& AServer, TIdSocketHandles& ABindings, int32_t AListenQueue);
  /// Stops, waits for and frees every listener thread.
  void Stop();
  /// False when a listener ended by itself (its accept gave no client): the server cannot serve.
  bool AllRun();

private:
  TThreadList<std::unique_ptr<TIdListenerThread>> FList;
};

} // namespace Id
