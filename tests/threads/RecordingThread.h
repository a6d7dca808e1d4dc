// SPDX-License-Identifier: MIT
// A worker thread for tests: records its hooks and events in order, counts steps, and runs a
// step action given by the test.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "idframework/threads/IdThread.h"

namespace IdTest {

/// Hook and event names in the order they happened; consecutive RunStep entries are merged.
class TEventLog {
public:
  void Add(const std::string& AEntry) {
    std::lock_guard<std::mutex> Guard(FLock);
    if (AEntry == "RunStep" && !FEntries.empty() && FEntries.back() == "RunStep") return;
    FEntries.push_back(AEntry);
  }
  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> Guard(FLock);
    return FEntries;
  }
  int Count(const std::string& AEntry) const {
    std::lock_guard<std::mutex> Guard(FLock);
    int N = 0;
    for (const auto& E : FEntries)
      N += E == AEntry;
    return N;
  }

private:
  mutable std::mutex FLock;
  std::vector<std::string> FEntries;
};

class TRecordingThread : public Id::TIdThread {
public:
  explicit TRecordingThread(bool ACreateSuspended = true) : Id::TIdThread(ACreateSuspended) {
    OnHalted = [this](Id::TIdThread&) { Log.Add("Halted"); };
    OnRunException = [this](Id::TIdThread&, const Id::Exception& E) {
      Log.Add("RunException:" + E.Message());
    };
  }
  ~TRecordingThread() override { TerminateWakeAndWait(); }

  TEventLog Log;
  std::atomic<int> Steps{0};
  /// Runs in every step on the thread; set before starting.
  std::function<void(TRecordingThread&)> StepAction;
  /// Runs in BeforeRunPhase on the thread; set before starting.
  std::function<void(TRecordingThread&)> BeforeRunPhaseAction;

protected:
  void BeforeLoop() override { Log.Add("BeforeLoop"); }
  void BeforeRunPhase() override {
    Log.Add("BeforeRunPhase");
    if (BeforeRunPhaseAction) BeforeRunPhaseAction(*this);
  }
  void RunStep() override {
    Log.Add("RunStep");
    ++Steps;
    if (StepAction)
      StepAction(*this);
    else
      std::this_thread::yield();
  }
  void AfterRunPhase() override { Log.Add("AfterRunPhase"); }
  void ReleaseData() override {
    Log.Add("ReleaseData");
    Id::TIdThread::ReleaseData();
  }
  void AfterLoop() override { Log.Add("AfterLoop"); }
};

} // namespace IdTest
