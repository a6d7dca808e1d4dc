// SPDX-License-Identifier: MIT
#include "idframework/runtime/detail/ThreadRunner.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <iterator>
#include <memory>
#include <vector>

#include "idframework/runtime/CriticalSection.h"
#include "idframework/runtime/Thread.h"
#include "idframework/runtime/detail/ThreadPlatform.h"

namespace Id {

// One body on a worker, shared by its starter and the worker; the worker lets go of it only
// after it has told a joiner that the body returned.
struct TThreadRun {
  TThreadRun(void (*AEntry)(void*), void* AArg) : Entry(AEntry), Arg(AArg) {}
  void (*Entry)(void*);
  void* Arg;
  // rsRunning, rsJoined (running, and a joiner sleeps on the word) or rsFinished.
  std::atomic<uint32_t> State{0};
  std::atomic<bool> PriorityChanged{false};
  // Of the thread that started the body on a reused thread (a new thread inherits it).
  TStarterState Starter;
};

namespace {

using TRunRef = std::shared_ptr<TThreadRun>;

// The run the calling worker is serving, for NoteOwnPriorityChanged.
thread_local TThreadRun* CurrentRun = nullptr;

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
// written, then State becomes Handed; a worker that announced itself Asleep is woken. A Next of
// none tells the worker to end.
enum TWorkerState : uint32_t { wsAwake = 0, wsAsleep = 1, wsHanded = 2 };

struct TWorker {
  explicit TWorker(size_t AStackSize) : StackSize(AStackSize) {}
  std::atomic<uint32_t> State{wsAwake};
  TRunRef Next;
  const size_t StackSize; // of its operating-system thread
};

// The parked threads of the process. Never destroyed: parked threads outlive static
// destruction at process end.
class TRunner {
public:
  // The most recently parked worker with a stack of AStackSize bytes; nullptr when none.
  TWorker* TakeParked(size_t AStackSize) {
    TLockGuard<TMutex> Guard(FLock);
    for (auto It = FParked.rbegin(); It != FParked.rend(); ++It) {
      TWorker* Worker = *It;
      if (Worker->StackSize != AStackSize) continue;
      FParked.erase(std::next(It).base());
      return Worker;
    }
    return nullptr;
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

enum TRunState : uint32_t { rsRunning = 0, rsJoined = 1, rsFinished = 2 };

// Only a joiner that announced itself costs a wake-up.
void FinishRun(TThreadRun& ARun) {
  if (ARun.State.exchange(rsFinished, std::memory_order_acq_rel) == rsJoined)
    WakeWordWaiter(ARun.State);
}

// Takes the run handed over, or waits for it until ADeadline (none: as long as it takes);
// false when the deadline passed first.
bool TakeHanded(TWorker& AWorker, TRunRef& ARun,
                const std::chrono::steady_clock::time_point* ADeadline) {
  for (;;) {
    uint32_t State = AWorker.State.load(std::memory_order_acquire);
    if (State == wsHanded) {
      ARun = std::move(AWorker.Next);
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

// The next run for a parked worker, with its starter's state applied; nullptr when it is to end
// (the limit was reached, or its wait ran out with nobody taking it, or it was told to end).
TRunRef WaitForNext(TWorker& AWorker) {
  if (!Runner().Park(&AWorker)) return nullptr;
  const auto Deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(Runner().FIdleMs.load());
  TRunRef Run;
  if (!TakeHanded(AWorker, Run, &Deadline)) {
    if (Runner().Unpark(&AWorker)) return nullptr;
    TakeHanded(AWorker, Run, nullptr); // taken just now: its run is on the way
  }
  if (Run) ApplyStarterState(Run->Starter);
  return Run;
}

void HandOver(TWorker& AWorker, TRunRef ARun) {
  AWorker.Next = std::move(ARun);
  if (AWorker.State.exchange(wsHanded, std::memory_order_acq_rel) == wsAsleep)
    WakeWordWaiter(AWorker.State);
}

// What a new worker is given: its first run and the size of its stack.
struct TFirstRun {
  TRunRef Run;
  size_t StackSize;
};

// The worker's loop: a body, then the next one, for as long as it stays parked.
void WorkerMain(void* AFirst) {
  KeepThreadStart();
  std::unique_ptr<TFirstRun> First(static_cast<TFirstRun*>(AFirst));
  TWorker Worker(First->StackSize);
  TRunRef Run = std::move(First->Run);
  First.reset();
  for (; Run; Run = WaitForNext(Worker)) {
    CurrentRun = Run.get();
    Run->Entry(Run->Arg);
    CurrentRun = nullptr;
    const bool PriorityChanged = Run->PriorityChanged.load();
    FinishRun(*Run);
    Run.reset();
    RestoreThreadStart(PriorityChanged);
    ResetThreadRunState();
  }
}

} // namespace

std::shared_ptr<TThreadRun> StartThreadRun(void (*AEntry)(void*), void* AArg, size_t AStackSize) {
  auto Run = std::make_shared<TThreadRun>(AEntry, AArg);
  if (TWorker* Worker = Runner().TakeParked(AStackSize)) {
    NoteStarterState(Run->Starter);
    HandOver(*Worker, Run);
    return Run;
  }
  auto First = std::make_unique<TFirstRun>(TFirstRun{Run, AStackSize}); // the new thread's own
  StartDetachedThread(&WorkerMain, First.get(), AStackSize);
  static_cast<void>(First.release()); // taken over by the new thread
  return Run;
}

void JoinThreadRun(TThreadRun& ARun) noexcept {
  uint32_t State = ARun.State.load(std::memory_order_acquire);
  while (State != rsFinished) {
    if (State == rsRunning &&
        !ARun.State.compare_exchange_strong(State, rsJoined, std::memory_order_acq_rel))
      continue;
    WaitForWordChange(ARun.State, rsJoined, -1);
    State = ARun.State.load(std::memory_order_acquire);
  }
}

void NotePriorityChanged(TThreadRun& ARun) noexcept {
  ARun.PriorityChanged = true;
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
    HandOver(*Worker, nullptr); // none: the worker ends
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
