// SPDX-License-Identifier: MIT
#include "idframework/threads/IdThread.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <typeinfo>

#include "idframework/core/IdException.h"
#include "idframework/core/IdGlobal.h"
#include "idframework/core/detail/IdDebugCounters.h"
#include "idframework/runtime/ScopeExit.h"

namespace Id {

namespace {

// The count of live thread objects and its lock. It comes into being with the first thread
// object (one instance even when two threads construct the first ones at once) and, at program
// end, waits for the last thread object to go before the lock itself goes. The wait is made of
// steps without limit, but the last thread object to go wakes it at once.
class TLiveThreads {
public:
  ~TLiveThreads() { WaitUntilNone(LiveThreadWaitStep); }

  void Change(int32_t ADelta) {
    TLockGuard<TMutex> Guard(FLock);
    FCount += ADelta;
    if (FCount == 0) FNoneLeft.notify_all();
  }
  int32_t Count() {
    TLockGuard<TMutex> Guard(FLock);
    return FCount;
  }
  int WaitUntilNone(std::chrono::milliseconds AStep) {
    TMutexLock Lock(FLock);
    int Steps = 0;
    while (FCount != 0)
      if (!Lock.WaitFor(FNoneLeft, AStep)) ++Steps;
    return Steps;
  }

private:
  TMutex FLock;                            // LiveThreadLock
  std::condition_variable FNoneLeft;       // the count reached 0
  int32_t FCount ID_GUARDED_BY(FLock) = 0; // LiveThreadCount
};

TLiveThreads& LiveThreads() {
  static TLiveThreads Instance;
  return Instance;
}

} // namespace

bool CallerIsThread(const TThread& AThread) {
  return AThread.CallerIsThisThread();
}

void SetThreadPriorityOf(TThread& AThread, TThreadPriority APriority) {
  AThread.SetPriority(APriority);
}

int32_t LiveThreadCount() {
  return LiveThreads().Count();
}

int WaitForNoLiveThreads(std::chrono::milliseconds AStep) {
  return LiveThreads().WaitUntilNone(AStep);
}

TIdThread::TIdThread(bool ACreateSuspended)
    : TIdBaseThread(ACreateSuspended), FHalted(ACreateSuspended) {
  DebugCountUp(TIdDebugCounter::dcThreads);
  try {
    LiveThreads().Change(+1);
  } catch (...) {
    // Counting is bookkeeping for program end; it never stops a thread from being made.
  }
}

TIdThread::~TIdThread() {
  SetFreeOnTerminate(false);
  RequestTerminate();
  TerminateWakeAndWait();
  DebugCountDown(TIdDebugCounter::dcThreads);
  try {
    ReleaseData();
  } catch (...) {
    // Destruction goes on whatever the data's destructor did.
  }
  try {
    LiveThreads().Change(-1);
  } catch (...) {
  }
}

// Read without the lock, in the reverse order of the writers: a wake-up clears Halted before
// Suspended, and a termination sets the terminated flag before it clears Suspended, so a
// reader that sees a thread no longer suspended also sees what went before. From the start of
// destruction on, the thread is terminated and so halted.
bool TIdThread::IsHalted() const {
  return Suspended() || FHalted.load() || Terminated();
}

TIdThreadStopAction TIdThread::StopAction() const {
  TLockGuard<TMutex> Guard(FStateLock);
  return FStopAction;
}

void TIdThread::SetStopAction(TIdThreadStopAction AValue) {
  TLockGuard<TMutex> Guard(FStateLock);
  FStopAction = AValue;
}

void TIdThread::StartRunning() {
  TLockGuard<TMutex> Guard(FStateLock);
  if (!IsHalted()) return;
  // A terminated thread stays halted: it wakes only to leave its loop.
  FHalted = Terminated();
  Resume();
}

void TIdThread::StopRunning() {
  TLockGuard<TMutex> Guard(FStateLock);
  if (IsHalted()) return;
  if (FStopAction == TIdThreadStopAction::taTerminate) RequestTerminateLocked();
  FHalted = true;
}

void TIdThread::RequestTerminate() {
  TLockGuard<TMutex> Guard(FStateLock);
  RequestTerminateLocked();
}

void TIdThread::RequestTerminateLocked() {
  FHalted = true;
  Terminate();
}

void TIdThread::TerminateAndWaitFor() {
  if (FreeOnTerminate()) throw EIdThreadTerminateAndWaitFor();
  RequestTerminate();
  StartRunning();
  WaitFor();
}

void TIdThread::ReleaseData() {
  FDataObject.reset();
}

void TIdThread::NotifyException(const Exception& AException) {
  if (!OnRunException) return;
  AssertNoLockHeld("OnRunException");
  OnRunException(*this, AException);
}

void TIdThread::NotifyHalted() {
  if (!OnHalted) return;
  AssertNoLockHeld("OnHalted");
  OnHalted(*this);
}

// A standard exception (std::stoi's, say) ends the work the same way, with its what() as the
// message; anything else is left to the platform thread.
void TIdThread::Execute() {
  try {
    RunLoop();
  } catch (const Exception& E) {
    EndWithException(E, typeid(E));
  } catch (const std::exception& E) {
    EndWithException(Exception(E.what()), typeid(E));
  }
}

void TIdThread::EndWithException(const Exception& AException, const std::type_info& AClass) {
  FLastExceptionClass = std::type_index(AClass);
  FLastExceptionMessage = AException.Message();
  NotifyException(AException);
  RequestTerminate();
}

void TIdThread::RunLoop() {
  TScopeExit EndLoop([this] { AfterLoop(); });
  BeforeLoop();
  while (!Terminated()) {
    if (IsHalted()) {
      NotifyHalted();
      if (!ParkWhileHalted()) break;
    }
    RunPhase();
    // A phase ended by a terminate request is a halt too: report it once before leaving.
    if (Terminated()) NotifyHalted();
  }
}

// Returns false when the thread is to leave its loop.
bool TIdThread::ParkWhileHalted() {
  // A wake-up can arrive between the test and Suspend (Resume keeps it), or be left over
  // from an earlier one: the state is tested again after every wake-up.
  while (IsHalted()) {
    if (Terminated()) return false;
    Suspend();
  }
  return !Terminated();
}

void TIdThread::RunPhase() {
  TScopeExit Release([this] { ReleaseData(); });
  BeforeRunPhase();
  TScopeExit EndPhase([this] { AfterRunPhase(); });
  RunStepsWhileRunning();
}

void TIdThread::RunStepsWhileRunning() {
  while (!IsHalted()) {
    try {
      RunStep();
    } catch (const std::exception&) {
      RequestTerminate();
      throw;
    }
  }
}

} // namespace Id
