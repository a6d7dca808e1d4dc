#include "runtime/detail/ThreadRunner.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <vector>

#include "runtime/CriticalSection.h"
#include "runtime/Thread.h"
#include "runtime/detail/ThreadPlatform.h"

namespace Id {

namespace {

// One body on a worker. Two hold it, the worker and the run's owner (who joins or detaches),
// and the last to let go frees it: the worker lets go only after it has told the joiner.
struct TRun {
  void (*Entry)(void*);
  void* Arg;
  std::atomic<int> Finished{0};
  std::atomic<int> Holders{2};
  std::atomic<bool> PriorityChanged{false};
};

// Handed to a parked worker instead of a run: it ends.
TRun EndOfWork{nullptr, nullptr};

void Release(TRun* ARun) {
  if (ARun->Holders.fetch_sub(1) == 1) delete ARun;
}

// The run the calling worker is serving, for NoteOwnPriorityChanged.
thread_local TRun* CurrentRun = nullptr;

// The resets of per-thread state between two bodies, registered at program start.
constexpr int MaxRunResets = 16;
std::atomic<void (*)()> RunResets[MaxRunResets]{};
std::atomic<int> RunResetCount{0};

void ResetThreadRunState() {
  const int Count = std::min(RunResetCount.load(), MaxRunResets);
  for (int I = 0; I < Count; ++I)
    if (auto* Reset = RunResets[I].load()) Reset();
}

// One operating-system thread of the runner. A run is handed over through State: Next is
// written, then State becomes Handed; a worker that announced itself Asleep is woken.
enum TWorkerState : uint32_t { wsAwake = 0, wsAsleep = 1, wsHanded = 2 };

struct TWorker {
  std::atomic<uint32_t> State{wsAwake};
  TRun* Next = nullptr;
};

// The parked threads of the process. Never destroyed: parked threads outlive static
// destruction at process end.
class TRunner {
public:
  TWorker* TakeParked() {
    TLockGuard<TMutex> Guard(FLock);
    if (FParked.empty()) return nullptr;
    TWorker* Worker = FParked.back();
    FParked.pop_back();
    return Worker;
  }
  // False when the limit is reached: the worker ends instead.
  bool Park(TWorker* AWorker) {
    TLockGuard<TMutex> Guard(FLock);
    if (static_cast<int32_t>(FParked.size()) >= FMaxParked.load()) return false;
    FParked.push_back(AWorker);
    return true;
  }
  // True when AWorker was still parked (its wait ran out and nobody took it).
  bool Unpark(TWorker* AWorker) {
    TLockGuard<TMutex> Guard(FLock);
    auto It = std::find(FParked.begin(), FParked.end(), AWorker);
    if (It == FParked.end()) return false;
    FParked.erase(It);
    return true;
  }
  int32_t Count() {
    TLockGuard<TMutex> Guard(FLock);
    return static_cast<int32_t>(FParked.size());
  }
  // Parked workers beyond the limit, taken out of the list to be told to end.
  std::vector<TWorker*> TakeBeyondLimit() {
    TLockGuard<TMutex> Guard(FLock);
    std::vector<TWorker*> Beyond;
    while (static_cast<int32_t>(FParked.size()) > FMaxParked.load()) {
      Beyond.push_back(FParked.back());
      FParked.pop_back();
    }
    return Beyond;
  }

  std::atomic<int32_t> FMaxParked{64};
  std::atomic<int32_t> FIdleMs{10000};

private:
  TMutex FLock;
  std::vector<TWorker*> FParked ID_GUARDED_BY(FLock);
};

TRunner& Runner() {
  static TRunner* R = new TRunner;
  return *R;
}

void FinishRun(TRun* ARun) {
  ARun->Finished.store(1);
  ARun->Finished.notify_all();
  Release(ARun);
}

// Takes the run handed over, or waits for it until ADeadline (none: as long as it takes);
// false when the deadline passed first.
bool TakeHanded(TWorker& AWorker, TRun*& ARun,
                const std::chrono::steady_clock::time_point* ADeadline) {
  for (;;) {
    uint32_t State = AWorker.State.load(std::memory_order_acquire);
    if (State == wsHanded) {
      ARun = AWorker.Next;
      AWorker.State.store(wsAwake, std::memory_order_relaxed);
      return true;
    }
    if (State == wsAwake &&
        !AWorker.State.compare_exchange_strong(State, wsAsleep, std::memory_order_acq_rel))
      continue;
    int32_t WaitMs = -1;
    if (ADeadline) {
      const auto Left = std::chrono::ceil<std::chrono::milliseconds>(
          *ADeadline - std::chrono::steady_clock::now());
      if (Left.count() <= 0) return false;
      WaitMs = static_cast<int32_t>(std::min<int64_t>(Left.count(), INT32_MAX));
    }
    WaitForWordChange(AWorker.State, wsAsleep, WaitMs);
  }
}

// The next run for a parked worker; nullptr when it is to end (the limit was reached, or its
// wait ran out with nobody taking it, or it was told to end).
TRun* WaitForNext(TWorker& AWorker) {
  if (!Runner().Park(&AWorker)) return nullptr;
  const auto Deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(Runner().FIdleMs.load());
  TRun* Run = nullptr;
  if (!TakeHanded(AWorker, Run, &Deadline)) {
    if (Runner().Unpark(&AWorker)) return nullptr;
    TakeHanded(AWorker, Run, nullptr); // taken just now: its run is on the way
  }
  return Run == &EndOfWork ? nullptr : Run;
}

void HandOver(TWorker& AWorker, TRun* ARun) {
  AWorker.Next = ARun;
  if (AWorker.State.exchange(wsHanded, std::memory_order_acq_rel) == wsAsleep)
    WakeWordWaiter(AWorker.State);
}

// The worker's loop: a body, then the next one, for as long as it stays parked.
void WorkerMain(void* AFirst) {
  KeepThreadStart();
  TWorker Worker;
  for (auto* Run = static_cast<TRun*>(AFirst); Run; Run = WaitForNext(Worker)) {
    CurrentRun = Run;
    Run->Entry(Run->Arg);
    CurrentRun = nullptr;
    const bool PriorityChanged = Run->PriorityChanged.load();
    FinishRun(Run);
    RestoreThreadStart(PriorityChanged);
    ResetThreadRunState();
  }
}

} // namespace

TThreadRun StartThreadRun(void (*AEntry)(void*), void* AArg) {
  auto* Run = new TRun{AEntry, AArg};
  if (TWorker* Worker = Runner().TakeParked()) {
    HandOver(*Worker, Run);
    return reinterpret_cast<TThreadRun>(Run);
  }
  try {
    StartDetachedThread(&WorkerMain, Run);
  } catch (...) {
    delete Run;
    throw;
  }
  return reinterpret_cast<TThreadRun>(Run);
}

void JoinThreadRun(TThreadRun ARun) noexcept {
  auto* Run = reinterpret_cast<TRun*>(ARun);
  Run->Finished.wait(0);
  Release(Run);
}

void DetachThreadRun(TThreadRun ARun) noexcept {
  Release(reinterpret_cast<TRun*>(ARun));
}

void NotePriorityChanged(TThreadRun ARun) noexcept {
  reinterpret_cast<TRun*>(ARun)->PriorityChanged = true;
}

void NoteOwnPriorityChanged() noexcept {
  if (CurrentRun) CurrentRun->PriorityChanged = true;
}

void RegisterThreadRunReset(void (*AReset)()) {
  const int Slot = RunResetCount.fetch_add(1);
  if (Slot < MaxRunResets) RunResets[Slot].store(AReset);
}

// A lower limit takes effect at once: the parked threads beyond it end.
void SetParkedThreadLimits(int32_t AMaxParked, int32_t AIdleMs) {
  Runner().FMaxParked.store(std::max(AMaxParked, 0));
  Runner().FIdleMs.store(std::max(AIdleMs, 0));
  for (TWorker* Worker : Runner().TakeBeyondLimit())
    HandOver(*Worker, &EndOfWork);
}

int32_t MaxParkedThreads() noexcept {
  return Runner().FMaxParked.load();
}

int32_t ParkedThreadIdleMs() noexcept {
  return Runner().FIdleMs.load();
}

int32_t ParkedThreadCount() noexcept {
  return Runner().Count();
}

} // namespace Id
