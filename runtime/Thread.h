// SPDX-License-Identifier: MIT
// The platform thread: a body that runs on its own operating-system thread, created suspended or
// running, with self-suspension, a terminate flag, waiting, priority and self-destruction.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "idframework/runtime/CriticalSection.h"
#include "idframework/runtime/Export.h"
#include "idframework/runtime/SysUtils.h"

namespace Id {

struct TThreadRun; // a body's run on an operating-system thread

/// Registers AReset, which runs on an operating-system thread after each body it served, so that
/// per-thread state of a layer (a last error, an error queue) never passes from one thread
/// object's body to the next on a reused thread. Register at program start; up to 16.
ID_API void RegisterThreadRunReset(void (*AReset)());

/// Misuse of a thread object: suspending or waiting for a thread from the wrong thread.
class ID_API EThread : public Exception {
public:
  /// The constructors of Exception.
  using Exception::Exception;
};

/// The seven-step priority scale, from idle (0) to time-critical (6); tpNormal (3) is the default.
enum class TThreadPriority : uint8_t {
  tpIdle = 0,
  tpLowest = 1,
  tpLower = 2,
  tpNormal = 3,
  tpHigher = 4,
  tpHighest = 5,
  tpTimeCritical = 6
};

/// Identifies an operating-system thread; equal for the object's thread and code running on it.
using TThreadID = std::thread::id;

/// A thread object. Derived classes supply Execute, the body. The operating-system thread is
/// made when the body starts: at the first Resume (created suspended) or in AfterConstruction
/// (created running). A thread object that is destroyed before it was started never costs an
/// operating-system thread.
///
/// Ownership: the creator owns the object unless FreeOnTerminate is set, in which case the object
/// deletes itself on its own thread after the body returns. Destroying a thread whose body has not
/// finished terminates it, wakes it and waits for it; a body that was never started then never
/// runs. A destructor never joins its own thread.
///
/// Whatever escapes the body is caught at the thread's outermost frame and kept (FatalException),
/// so no exception ends the process.
class ID_API TThread {
public:
  /// Prepares the thread; the operating-system thread is made when it starts (see Resume).
  /// Called on the creating thread.
  explicit TThread(bool ACreateSuspended);
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  /// Starts the body of a thread created running. The most-derived constructor must have
  /// finished first, so the creator calls this right after construction (Create does).
  /// Does nothing for a thread created suspended.
  virtual void AfterConstruction();
  /// Constructs a T created running and starts it. The caller owns the result; for a
  /// free-on-terminate thread it must release() it at once and never touch it again.
  template <class T, class... TArgs> static std::unique_ptr<T> Create(TArgs&&... AArgs) {
    auto Thread = std::make_unique<T>(std::forward<TArgs>(AArgs)...);
    Thread->AfterConstruction();
    return Thread;
  }

  /// Wakes a suspended thread, or starts one created suspended. A Resume that finds the thread
  /// running is kept, so the thread's next Suspend returns at once: callers that park re-check
  /// their own condition after waking. Any thread may call it. Starting throws
  /// std::system_error when the system cannot create a thread; the thread then stays suspended.
  void Resume();
  /// Parks the calling thread until Resume. Only the thread itself may call it (EThread
  /// otherwise); it sleeps on a condition variable.
  void Suspend();
  /// Sets the terminated flag only; the body decides when to look at it. Any thread.
  void Terminate() noexcept { FTerminated.store(true); }
  /// True once Terminate was called. Any thread.
  bool Terminated() const noexcept { return FTerminated.load(); }
  /// True while created suspended and not yet resumed, or while parked in Suspend.
  bool Suspended() const noexcept { return FSuspended.load(); }
  /// True once the body (and DoTerminate) has returned.
  bool Finished() const noexcept { return FFinished.load(); }
  /// Blocks until the body has returned. Raises EThread when called by the unfinished thread
  /// itself. Never call it on a free-on-terminate thread: the object may be gone.
  void WaitFor();

  /// When set before the body returns, the object deletes itself on its own thread afterwards.
  bool FreeOnTerminate() const noexcept { return FFreeOnTerminate.load(); }
  void SetFreeOnTerminate(bool AValue);

  /// The priority last asked for. Setting it applies it to the running thread on a best-effort
  /// basis (see Thread.cpp); it never fails and never stops the thread.
  TThreadPriority Priority() const noexcept { return FPriority.load(); }
  void SetPriority(TThreadPriority APriority);

  /// Identifier of this object's operating-system thread; "no thread" (TThreadID()) until the
  /// thread has started, so no running thread is ever taken for an unstarted one.
  TThreadID ThreadID() const noexcept { return FThreadID.load(); }
  /// True when the caller runs on this object's operating-system thread, inside its body (an
  /// operating-system thread serves later bodies too once this one has returned).
  bool CallerIsThisThread() const noexcept {
    return !FFinished.load() && std::this_thread::get_id() == FThreadID.load();
  }

  /// The size of the stack the thread is made with, in bytes; 0 (the default) takes
  /// DefaultStackSize when the thread starts. Set it before the start: a started thread keeps
  /// its stack. Sizes under MinimumStackSize are raised to it.
  size_t StackSize() const noexcept { return FStackSize.load(); }
  void SetStackSize(size_t ABytes) noexcept { FStackSize.store(ABytes); }
  /// The stack size of the threads that start from now on without one of their own. Default
  /// 8 MiB, the stack a Linux thread has by default: only the pages a body touches cost memory.
  /// 0 restores the default. Any thread.
  static size_t DefaultStackSize() noexcept;
  static void SetDefaultStackSize(size_t ABytes) noexcept;
  /// The smallest stack a thread is made with.
  static constexpr size_t MinimumStackSize = size_t(64) << 10;

  /// Operating-system threads whose body has returned are kept parked for the next thread
  /// objects' bodies, which then start without the cost of a new thread: up to AMaxParked of
  /// them (0: none), each for AIdleMs before it ends; a lower limit ends the parked threads
  /// beyond it at once. Defaults: 64 threads, 10000 ms. Any thread.
  ///
  /// A body on a reused thread starts as on a new one made for it: with a stack of its size,
  /// the signal mask of the thread that started it (a parked thread blocks every signal, so
  /// that a signal for the process never lands on it), errno 0, its priority restored when a
  /// thread object changed it, cancellation enabled and deferred, the process's locale
  /// (uselocale), the floating-point modes (rounding, traps) of the thread that started it, and
  /// the registered per-thread state reset (RegisterThreadRunReset). What a body changes by itself
  /// beyond that stays with the thread for the bodies after it, since undoing it would cost a
  /// system call or more per body: thread_local objects of the program's own code; the
  /// thread's name; a scheduling policy, nice value or CPU affinity set directly (not through
  /// Priority); the timer slack; an alternate signal stack (give it back with SS_DISABLE
  /// before the body returns when its memory goes with the body); signals sent to the thread
  /// itself and still pending; the floating-point exception flags. A body that changes any of
  /// these undoes it before it returns, or the program makes SetParkedThreads(0, 0). On
  /// Windows only errno, the priority and the registered state are reset (a Windows thread
  /// has no signal mask to inherit).
  static void SetParkedThreads(int32_t AMaxParked, int32_t AIdleMs);
  /// The limits set by SetParkedThreads.
  static int32_t MaxParkedThreads() noexcept;
  static int32_t ParkedThreadIdleMs() noexcept;
  /// Threads parked at this moment.
  static int32_t ParkedThreadCount() noexcept;

  /// What escaped the body or DoTerminate, if anything (empty otherwise), and its message.
  /// Read them after WaitFor or on the thread itself.
  std::exception_ptr FatalException() const noexcept { return FFatalException; }
  const std::string& FatalExceptionMessage() const noexcept { return FFatalExceptionMessage; }

  /// Fired by DoTerminate after the body returns. Runs on the thread itself.
  std::function<void(TThread&)> OnTerminate;

protected:
  /// The body. Runs on the thread itself.
  virtual void Execute() = 0;
  /// Runs after the body on the thread itself; fires OnTerminate when set.
  virtual void DoTerminate();
  /// Terminates, wakes and waits for the body unless it has finished or the caller is the thread
  /// itself; a body that never started will not run. Every destructor whose members the body
  /// uses calls it first, so the body never runs against a half-destroyed object.
  void TerminateWakeAndWait();

private:
  void StartLocked() ID_REQUIRES(FLock);
  static void ThreadEntry(void* AThread) noexcept;
  void ThreadProc();
  void ApplyStartPriority();
  void RunBody();
  void KeepFatalException(std::exception_ptr AException);
  bool MarkFinished();
  bool CallerIsSelf() const noexcept { return CallerIsThisThread(); }

  // The flags are written under FLock, where a decision depends on them, and read without it.
  mutable TMutex FLock;
  std::condition_variable FWake; // signalled on a wake-up from Suspend and when the body finishes
  std::atomic<bool> FTerminated{false};
  const bool FCreateSuspended;
  std::atomic<bool> FSuspended{true};               // not started yet, or parked in Suspend
  bool FStarted ID_GUARDED_BY(FLock) = false;       // the operating-system thread was made
  bool FResumePending ID_GUARDED_BY(FLock) = false; // a Resume found the thread running
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FFreeOnTerminate{false};
  std::atomic<TThreadPriority> FPriority{TThreadPriority::tpNormal};
  std::atomic<int> FKernelThreadID{0}; // 0 until the thread runs
  std::atomic<size_t> FStackSize{0};   // 0: DefaultStackSize
  std::exception_ptr FFatalException;
  std::string FFatalExceptionMessage;
  std::atomic<TThreadID> FThreadID{};
  // The body's run on an operating-system thread, none until started; written under FLock by
  // the start, read by the destructor once the body has finished. Shared with the thread that
  // serves it, which lets go only after it has told a joiner.
  std::shared_ptr<TThreadRun> FRun;
};

} // namespace Id
