// SPDX-License-Identifier: MIT
// The restartable worker thread: a run loop of phases made of many calls of one step, which can
// be parked and woken again without ending the thread, and which catches, records and reports
// the exceptions escaping its work.
#pragma once

#include <any>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <typeindex>
#include <typeinfo>
#include <utility>

#include "idframework/runtime/CriticalSection.h"
#include "idframework/runtime/Export.h"
#include "idframework/runtime/SysUtils.h"
#include "idframework/runtime/Thread.h"

namespace Id {

/// The common root of the framework's threads; adds nothing to the platform thread.
class ID_API TIdBaseThread : public TThread {
public:
  using TThread::TThread;
};

/// What StopRunning does: taTerminate ends the thread, taSuspend only parks it so that
/// StartRunning can run another phase on the same thread.
enum class TIdThreadStopAction : uint8_t { taTerminate = 0, taSuspend = 1 };

class TIdThread;
/// Both run on the thread itself.
using TIdExceptionThreadEvent =
    std::function<void(TIdThread& AThread, const Exception& AException)>;
using TIdNotifyThreadEvent = std::function<void(TIdThread& AThread)>;

/// A worker thread. Subclasses supply RunStep and may override the hooks, which run on the
/// thread itself in this order: BeforeLoop once; per run phase BeforeRunPhase, RunStep while not
/// halted, AfterRunPhase (also after an exception, unless BeforeRunPhase raised) and ReleaseData
/// (always); OnHalted whenever the loop finds itself halted; AfterLoop once at the end (also
/// after an exception). An exception of the Exception family, or any std::exception (reported
/// as an Exception with its what() text), is recorded, reported through OnRunException and ends
/// the thread; anything else is kept by the platform thread.
///
/// Controllers call StartRunning, StopRunning, RequestTerminate and TerminateAndWaitFor from
/// other threads. Destruction: controllers end the thread first (TerminateAndWaitFor) or destroy
/// it only while it is parked or has never started; a derived class whose members RunStep uses
/// calls TerminateWakeAndWait() at the top of its destructor.
class ID_API TIdThread : public TIdBaseThread {
public:
  /// Callers in the framework always create it suspended (halted). Throws std::system_error
  /// when no thread can be created.
  explicit TIdThread(bool ACreateSuspended = true);
  ~TIdThread() override;

  /// Parked halted thread: starts a new run phase (a terminated one is only woken to end).
  /// A thread that is not halted is left alone. Any thread.
  void StartRunning();
  /// Ends the current run phase at the next step boundary; with taTerminate the thread then
  /// ends, with taSuspend it parks until StartRunning. Any thread, the thread itself included.
  void StopRunning();
  /// Sets halted and the terminated flag; does not wait. Any thread.
  void RequestTerminate();
  /// Terminates, wakes and waits until the body has returned. Raises
  /// EIdThreadTerminateAndWaitFor, changing nothing, on a free-on-terminate thread. Never call
  /// it from the thread itself.
  void TerminateAndWaitFor();

  /// True when terminated, halted or suspended, and while the object is being destroyed.
  bool IsHalted() const;
  /// What StopRunning does (taTerminate by default), and its setter.
  TIdThreadStopAction StopAction() const;
  void SetStopAction(TIdThreadStopAction AValue);

  /// Class and message of the exception that ended the thread's work; empty until one did.
  /// Read them after the body ended (WaitFor) or on the thread itself.
  const std::optional<std::type_index>& LastExceptionClass() const noexcept {
    return FLastExceptionClass;
  }
  const std::string& LastExceptionMessage() const noexcept { return FLastExceptionMessage; }

  /// Any value the user attaches; owned by the thread and freed by ReleaseData at the end of
  /// every run phase. Used by the thread itself (or before it starts).
  std::any& DataObject() noexcept { return FDataObject; }
  void SetDataObject(std::any AValue) { FDataObject = std::move(AValue); }
  /// DataObject as a T: nullptr when it is empty or holds another type. Same thread rule as
  /// DataObject.
  template <class T> T* Data() noexcept { return std::any_cast<T>(&FDataObject); }
  /// Replaces DataObject with a T made from AArgs and returns it; ReleaseData frees it like any
  /// DataObject. T must be copyable (a rule of std::any). Same thread rule as DataObject.
  template <class T, class... TArgs> T& EmplaceData(TArgs&&... AArgs) {
    return FDataObject.emplace<T>(std::forward<TArgs>(AArgs)...);
  }

  /// Raised by NotifyException with the exception that ended the thread's work. Runs on the
  /// thread itself; what it raises is not caught by the run loop. Set before starting.
  TIdExceptionThreadEvent OnRunException;
  /// Raised by NotifyHalted each time the loop finds the thread halted. Runs on the thread
  /// itself. Set before starting.
  TIdNotifyThreadEvent OnHalted;

protected:
  /// The run loop. Final: subclasses vary it through the hooks.
  void Execute() final;
  /// Hooks, in the order given above the class; empty in the base.
  virtual void AfterRunPhase() {}
  virtual void AfterLoop() {}
  virtual void BeforeLoop() {}
  virtual void BeforeRunPhase() {}
  /// Frees DataObject. Overrides call the inherited one.
  virtual void ReleaseData();
  /// Fires OnRunException.
  virtual void NotifyException(const Exception& AException);
  /// Fires OnHalted.
  virtual void NotifyHalted();
  /// One unit of the thread's work.
  virtual void RunStep() = 0;

private:
  void RunLoop();
  void RunPhase();
  void RunStepsWhileRunning();
  bool ParkWhileHalted();
  void EndWithException(const Exception& AException, const std::type_info& AClass);
  void RequestTerminateLocked() ID_REQUIRES(FStateLock);

  std::any FDataObject;
  // Every decision that reads the state and acts on it (start, stop, terminate) is taken under
  // it; it calls no user code.
  mutable TMutex FStateLock;
  TIdThreadStopAction FStopAction ID_GUARDED_BY(FStateLock) = TIdThreadStopAction::taTerminate;
  std::atomic<bool> FHalted; // written under FStateLock; IsHalted reads it without the lock
  std::string FLastExceptionMessage;
  std::optional<std::type_index> FLastExceptionClass;
};

/// True when the calling thread is AThread's own thread.
ID_API bool CallerIsThread(const TThread& AThread);
/// Sets AThread's platform priority (best effort; never fails the thread).
ID_API void SetThreadPriorityOf(TThread& AThread, TThreadPriority APriority);

/// Number of TIdThread objects constructed and not yet destroyed, read under LiveThreadLock.
ID_API int32_t LiveThreadCount();

/// Step of the program-end wait for live thread objects.
inline constexpr std::chrono::milliseconds LiveThreadWaitStep{5000};

/// Waits without limit until LiveThreadCount is 0, in steps of AStep, and returns how many steps
/// ran out; the destruction of the last thread object ends the wait at once, not at the end of
/// a step. Program end runs it with LiveThreadWaitStep.
ID_API int WaitForNoLiveThreads(std::chrono::milliseconds AStep = LiveThreadWaitStep);

} // namespace Id
