// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// What a server tells the service manager about itself: ready, stopping, and the watchdog's
// keep-alive while it is healthy.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>

#include "idframework/runtime/CriticalSection.h"

namespace Id {

class Exception;
class TThread;

/// Sends READY=1 when its server listens, STOPPING=1 once when the server begins to stop, and
/// in between, when the service manager runs a watchdog (WatchdogInterval), WATCHDOG=1 every half
/// interval from a thread of its own for as long as the server is healthy; a server that stops
/// being healthy (a listener ended) gets no keep-alive, so that the service manager restarts it.
/// A notification that fails is reported and changes nothing else.
///
/// Threads: Started and Stopping on the thread that activates and deactivates the server. The
/// keep-alive thread asks AHealthy and reports through AReport; no lock is held while either runs.
class TIdServiceNotifier {
public:
  using THealthy = std::function<bool()>;
  using TReport = std::function<void(const Exception& AFailure)>;

  TIdServiceNotifier(THealthy AHealthy, TReport AReport);
  /// Stops the keep-alive.
  ~TIdServiceNotifier();
  TIdServiceNotifier(const TIdServiceNotifier&) = delete;
  TIdServiceNotifier& operator=(const TIdServiceNotifier&) = delete;

  /// READY=1, then the keep-alive when the service manager runs a watchdog.
  void Started();
  /// The first call after Started: stops the keep-alive (waits for its thread), then STOPPING=1.
  /// Later calls do nothing.
  void Stopping();

private:
  class TKeepAlive;

  void Send(bool (*ANotify)());
  void KeepAlive(std::chrono::microseconds AInterval);

  THealthy FHealthy;
  TReport FReport;
  bool FStarted = false; // since the last Started, no Stopping
  TMutex FLock;
  bool FStopRequested ID_GUARDED_BY(FLock) = false;
  std::condition_variable FStop;
  std::unique_ptr<TThread> FThread; // the keep-alive, while it runs
};

} // namespace Id
