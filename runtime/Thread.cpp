#include "runtime/Thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace Id {

namespace {

// Nice values for the seven steps. Linux threads of an ordinary process all run under the
// time-sharing policy, where the nice value is the only per-thread knob.
constexpr int NiceOf[] = {19, 10, 5, 0, -5, -10, -20};

// The lowest nice value this process may ask for without privileges (RLIMIT_NICE maps
// 1..40 onto 19..-20); a privileged process is not held to it, so it is only the fallback.
int LowestPermittedNice() {
  rlimit Limit{};
  if (getrlimit(RLIMIT_NICE, &Limit) != 0 || Limit.rlim_cur == RLIM_INFINITY) return -20;
  return 20 - static_cast<int>(std::min<rlim_t>(Limit.rlim_cur, 40));
}

// Best effort: lowering a thread's priority always works; raising it beyond what the process
// may do is clamped to the permitted floor, and if even that is refused the thread keeps its
// priority. Failure is never reported: the thread runs either way.
void ApplyPriority(int AKernelThreadID, TThreadPriority APriority) {
  const int Wanted = NiceOf[static_cast<int>(APriority)];
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(AKernelThreadID), Wanted) == 0) return;
  const int Permitted = std::max(Wanted, LowestPermittedNice());
  if (Permitted != Wanted) setpriority(PRIO_PROCESS, static_cast<id_t>(AKernelThreadID), Permitted);
}

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

TThread::TThread(bool ACreateSuspended) : FCreateSuspended(ACreateSuspended) {
  std::lock_guard<std::mutex> Guard(FLock);
  FThread = std::thread(&TThread::ThreadProc, this);
  FThreadID = FThread.get_id();
}

TThread::~TThread() {
  TerminateWakeAndWait();
  // A thread that frees itself runs this destructor on its own thread: it cannot join itself,
  // and returns from its thread function right after.
  if (CallerIsSelf())
    FThread.detach();
  else if (FThread.joinable())
    FThread.join();
}

void TThread::AfterConstruction() {
  if (!FCreateSuspended) Resume();
}

void TThread::Resume() {
  std::lock_guard<std::mutex> Guard(FLock);
  if (FSuspended) {
    FSuspended = false;
    FStarted = true;
    FWake.notify_all();
  } else if (!FFinished) {
    FResumePending = true;
  }
}

void TThread::Suspend() {
  if (!CallerIsSelf()) throw EThread("A thread can only suspend itself");
  std::unique_lock<std::mutex> Lock(FLock);
  if (FResumePending) {
    FResumePending = false;
    return;
  }
  FSuspended = true;
  FWake.wait(Lock, [this] { return !FSuspended; });
}

bool TThread::Suspended() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FSuspended;
}

bool TThread::Finished() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FFinished;
}

void TThread::WaitFor() {
  std::unique_lock<std::mutex> Lock(FLock);
  if (FFinished) return;
  if (CallerIsSelf()) throw EThread("A thread cannot wait for itself");
  FWake.wait(Lock, [this] { return FFinished; });
}

bool TThread::FreeOnTerminate() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FFreeOnTerminate;
}

void TThread::SetFreeOnTerminate(bool AValue) {
  std::lock_guard<std::mutex> Guard(FLock);
  FFreeOnTerminate = AValue;
}

TThreadPriority TThread::Priority() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FPriority;
}

void TThread::SetPriority(TThreadPriority APriority) {
  std::lock_guard<std::mutex> Guard(FLock);
  FPriority = APriority;
  // Once finished, the kernel may already have given the identifier to another thread.
  if (FKernelThreadID != 0 && !FFinished) ApplyPriority(FKernelThreadID, APriority);
}

void TThread::DoTerminate() {
  if (OnTerminate) OnTerminate(*this);
}

void TThread::TerminateWakeAndWait() {
  std::unique_lock<std::mutex> Lock(FLock);
  FTerminated.store(true);
  FFreeOnTerminate = false;
  if (!FStarted) FSkipBody = true;
  FStarted = true;
  FSuspended = false;
  FWake.notify_all();
  if (CallerIsSelf()) return;
  FWake.wait(Lock, [this] { return FFinished; });
}

bool TThread::WaitForStart() {
  std::unique_lock<std::mutex> Lock(FLock);
  FKernelThreadID = static_cast<int>(gettid());
  if (FPriority != TThreadPriority::tpNormal) ApplyPriority(FKernelThreadID, FPriority);
  FWake.wait(Lock, [this] { return !FSuspended; });
  return !FSkipBody;
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
  std::lock_guard<std::mutex> Guard(FLock);
  FFinished = true;
  FWake.notify_all();
  return FFreeOnTerminate;
}

void TThread::ThreadProc() {
  if (WaitForStart()) RunBody();
  // After MarkFinished an owner may destroy the object at any moment: only the local copy of
  // the free-on-terminate flag is used from here on.
  const bool FreeSelf = MarkFinished();
  if (FreeSelf) delete this;
}

} // namespace Id
