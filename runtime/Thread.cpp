// SPDX-License-Identifier: MIT
#include "idframework/runtime/Thread.h"

#include "idframework/runtime/detail/ThreadPlatform.h"
#include "idframework/runtime/detail/ThreadRunner.h"

#include <algorithm>
#include <cerrno>

namespace Id {

namespace {

// The stack a Linux thread gets by default (from the usual 8 MiB stack limit), so that a handler
// has the stack it would have on a thread of its own. Untouched pages cost no memory.
constexpr size_t BuiltInStackSize = size_t(8) << 20;
std::atomic<size_t> ProcessStackSize{BuiltInStackSize};

std::string MessageOf(std::exception_ptr AException) {
  try {
    std::rethrow_exception(AException);
  } catch (const std::exception& E) {
    return E.what();
  } catch (...) {
    return "Unknown exception";
  }
}

} // namespace

TThread::TThread(bool ACreateSuspended) : FCreateSuspended(ACreateSuspended) {}

TThread::~TThread() {
  TerminateWakeAndWait();
  // On its own thread (the body deleted its object, or it frees itself) there is nothing to
  // wait for: the thread returns from its body right after.
  if (FRun && !CallerIsSelf()) JoinThreadRun(*FRun);
}

void TThread::AfterConstruction() {
  if (!FCreateSuspended) Resume();
}

void TThread::Resume() {
  TLockGuard<TMutex> Guard(FLock);
  if (!FStarted) {
    StartLocked();
  } else if (FSuspended.load()) {
    FSuspended.store(false);
    FWake.notify_all();
  } else if (!FFinished.load()) {
    FResumePending = true;
  }
}

// The new thread takes no lock to begin, so it never waits for this frame to leave FLock: it
// only takes the lock once its body has returned.
void TThread::StartLocked() {
  FStarted = true;
  FSuspended.store(false);
  try {
    const size_t Own = FStackSize.load();
    const size_t Size = Own != 0 ? Own : ProcessStackSize.load();
    FRun = StartThreadRun(&TThread::ThreadEntry, this, std::max(Size, MinimumStackSize));
  } catch (...) {
    FStarted = false;
    FSuspended.store(true);
    throw;
  }
}

void TThread::Suspend() {
  if (!CallerIsSelf()) throw EThread("A thread can only suspend itself");
  TMutexLock Lock(FLock);
  if (FResumePending) {
    FResumePending = false;
    return;
  }
  FSuspended.store(true);
  while (FSuspended.load())
    Lock.Wait(FWake);
}

void TThread::WaitFor() {
  TMutexLock Lock(FLock);
  if (FFinished.load()) return;
  if (CallerIsSelf()) throw EThread("A thread cannot wait for itself");
  while (!FFinished.load())
    Lock.Wait(FWake);
}

void TThread::SetFreeOnTerminate(bool AValue) {
  TLockGuard<TMutex> Guard(FLock);
  FFreeOnTerminate.store(AValue);
}

void TThread::SetPriority(TThreadPriority APriority) {
  if (APriority == FPriority.load()) return; // managers set it on every thread they make
  TLockGuard<TMutex> Guard(FLock);
  FPriority.store(APriority);
  // Once finished, the kernel may already have given the identifier to another thread, or the
  // thread serves another body.
  const int KernelThreadID = FKernelThreadID.load();
  if (KernelThreadID == 0 || FFinished.load()) return;
  ApplyThreadPriority(KernelThreadID, APriority);
  NotePriorityChanged(*FRun);
}

void TThread::DoTerminate() {
  if (OnTerminate) OnTerminate(*this);
}

void TThread::TerminateWakeAndWait() {
  TMutexLock Lock(FLock);
  FTerminated.store(true);
  FFreeOnTerminate.store(false);
  FSuspended.store(false);
  if (!FStarted) {
    // Never started: the body will not run, and there is no thread to wait for.
    FStarted = true;
    FFinished.store(true);
    FWake.notify_all();
    return;
  }
  FWake.notify_all();
  if (CallerIsSelf()) return;
  while (!FFinished.load())
    Lock.Wait(FWake);
}

// The kernel identifier is published before the priority is read, and SetPriority stores the
// priority before it reads the identifier: one of the two applies a priority set meanwhile.
void TThread::ApplyStartPriority() {
  const int KernelThreadID = CurrentKernelThreadID();
  FKernelThreadID.store(KernelThreadID);
  const TThreadPriority Priority = FPriority.load();
  if (Priority == TThreadPriority::tpNormal) return;
  ApplyThreadPriority(KernelThreadID, Priority);
  NoteOwnPriorityChanged();
}

void TThread::KeepFatalException(std::exception_ptr AException) {
  if (FFatalException) return;
  FFatalException = AException;
  FFatalExceptionMessage = MessageOf(AException);
}

void TThread::RunBody() {
  // The outermost frame of the thread: nothing that escapes the body may end the process.
  try {
    Execute();
  } catch (...) {
    KeepFatalException(std::current_exception());
  }
  try {
    DoTerminate();
  } catch (...) {
    KeepFatalException(std::current_exception());
  }
}

bool TThread::MarkFinished() {
  TLockGuard<TMutex> Guard(FLock);
  FFinished.store(true);
  FWake.notify_all();
  return FFreeOnTerminate.load();
}

void TThread::ThreadEntry(void* AThread) noexcept {
  static_cast<TThread*>(AThread)->ThreadProc();
}

void TThread::ThreadProc() {
  FThreadID.store(std::this_thread::get_id());
  ApplyStartPriority();
  RunBody();
  // After MarkFinished an owner may destroy the object at any moment: only the local copy of
  // the free-on-terminate flag is used from here on.
  const bool FreeSelf = MarkFinished();
  if (!FreeSelf) return;
  // The object goes on its own thread: nobody will join the run.
  FRun.reset();
  delete this;
}

size_t TThread::DefaultStackSize() noexcept {
  return ProcessStackSize.load();
}

void TThread::SetDefaultStackSize(size_t ABytes) noexcept {
  ProcessStackSize.store(ABytes != 0 ? ABytes : BuiltInStackSize);
}

int32_t TThread::MaxParkedThreads() noexcept {
  return Id::MaxParkedThreads();
}

int32_t TThread::ParkedThreadIdleMs() noexcept {
  return Id::ParkedThreadIdleMs();
}

void TThread::SetParkedThreads(int32_t AMaxParked, int32_t AIdleMs) {
  SetParkedThreadLimits(AMaxParked, AIdleMs);
}

int32_t TThread::ParkedThreadCount() noexcept {
  return Id::ParkedThreadCount();
}

} // namespace Id
