// SPDX-License-Identifier: MIT
#include "idframework/server/detail/IdServiceNotifier.h"

#include <exception>

#include "idframework/runtime/Thread.h"
#include "idframework/server/IdSystemd.h"

namespace Id {

class TIdServiceNotifier::TKeepAlive : public TThread {
public:
  TKeepAlive(TIdServiceNotifier& ANotifier, std::chrono::microseconds AInterval)
      : TThread(true), FNotifier(ANotifier), FInterval(AInterval) {}
  ~TKeepAlive() override { TerminateWakeAndWait(); }

protected:
  void Execute() override { FNotifier.KeepAlive(FInterval); }

private:
  TIdServiceNotifier& FNotifier;
  const std::chrono::microseconds FInterval;
};

TIdServiceNotifier::TIdServiceNotifier(THealthy AHealthy, TReport AReport)
    : FHealthy(std::move(AHealthy)), FReport(std::move(AReport)) {}

TIdServiceNotifier::~TIdServiceNotifier() {
  Stopping();
}

void TIdServiceNotifier::Started() {
  FStarted = true;
  Send(NotifyReady);
  int64_t Interval = 0;
  try {
    Interval = WatchdogInterval();
  } catch (const Exception& E) {
    FReport(E);
  }
  if (Interval <= 0) return;
  {
    TLockGuard<TMutex> Guard(FLock);
    FStopRequested = false;
  }
  FThread = std::make_unique<TKeepAlive>(*this, std::chrono::microseconds(Interval));
  FThread->Resume();
}

void TIdServiceNotifier::Stopping() {
  if (!FStarted) return;
  FStarted = false;
  if (FThread) {
    {
      TLockGuard<TMutex> Guard(FLock);
      FStopRequested = true;
    }
    FStop.notify_all();
    FThread.reset();
  }
  Send(NotifyStopping);
}

void TIdServiceNotifier::Send(bool (*ANotify)()) {
  try {
    ANotify();
  } catch (const Exception& E) {
    FReport(E);
  }
}

// The custom of the protocol: a keep-alive every half interval, so that one late wake-up is not
// taken for a hung service.
void TIdServiceNotifier::KeepAlive(std::chrono::microseconds AInterval) {
  const auto Step = AInterval / 2;
  for (auto Next = std::chrono::steady_clock::now();; Next += Step) {
    if (FHealthy()) Send(NotifyWatchdog);
    TMutexLock Lock(FLock);
    while (!FStopRequested)
      if (!Lock.WaitUntil(FStop, Next + Step)) break;
    if (FStopRequested) return;
  }
}

} // namespace Id
