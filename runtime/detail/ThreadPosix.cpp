#include "runtime/detail/ThreadPlatform.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <system_error>

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

// Every thread gets a stack of 1 MiB, as threads have by default on Windows, rather than the
// 8 MiB of a Linux process: the address space of many threads, and the C library keeps the
// stacks of more ended threads for the next ones.
constexpr size_t ThreadStackSize = size_t(1) << 20;

} // namespace

void StartDetachedThread(void (*AEntry)(void*), void* AArg) {
  struct TStart {
    void (*Entry)(void*);
    void* Arg;
  };
  auto* Start = new TStart{AEntry, AArg};
  auto Trampoline = [](void* AStart) -> void* {
    const TStart Copy = *static_cast<TStart*>(AStart);
    delete static_cast<TStart*>(AStart);
    Copy.Entry(Copy.Arg);
    return nullptr;
  };
  pthread_attr_t Attributes;
  int Error = pthread_attr_init(&Attributes);
  if (Error == 0) Error = pthread_attr_setstacksize(&Attributes, ThreadStackSize);
  if (Error == 0) Error = pthread_attr_setdetachstate(&Attributes, PTHREAD_CREATE_DETACHED);
  pthread_t Thread{};
  if (Error == 0) Error = pthread_create(&Thread, &Attributes, Trampoline, Start);
  pthread_attr_destroy(&Attributes);
  if (Error == 0) return;
  delete Start;
  throw std::system_error(Error, std::generic_category(), "pthread_create");
}

namespace {

// What a new thread starts with, noted once per thread.
thread_local sigset_t StartMask;
thread_local int StartNice = 0;
thread_local int KernelThreadID = 0;

} // namespace

// The framework's threads are batch threads: one that is woken does not take the CPU from the
// thread that woke it. A listener handing clients to parked peer threads keeps accepting until
// it has to wait, and the peers then run one after the other, instead of two thread switches
// for every client. Time slices and nice values work as for any thread.
void KeepThreadStart() noexcept {
  const sched_param Batch{};
  sched_setscheduler(0, SCHED_BATCH, &Batch);
  pthread_sigmask(SIG_SETMASK, nullptr, &StartMask);
  errno = 0;
  StartNice = getpriority(PRIO_PROCESS, static_cast<id_t>(CurrentKernelThreadID()));
}

void RestoreThreadStart(bool APriorityChanged) noexcept {
  pthread_sigmask(SIG_SETMASK, &StartMask, nullptr);
  if (APriorityChanged)
    setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentKernelThreadID()), StartNice);
  errno = 0;
}

// A futex on the word itself: one call to sleep, one to wake, nothing else.
void WaitForWordChange(std::atomic<uint32_t>& AWord, uint32_t AValue, int32_t ATimeoutMs) noexcept {
  timespec Limit{ATimeoutMs / 1000, static_cast<long>(ATimeoutMs % 1000) * 1000000};
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&AWord), FUTEX_WAIT_PRIVATE, AValue,
            ATimeoutMs < 0 ? nullptr : &Limit, nullptr, 0);
}

void WakeWordWaiter(std::atomic<uint32_t>& AWord) noexcept {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&AWord), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr,
            0);
}

int CurrentKernelThreadID() noexcept {
  if (KernelThreadID == 0) KernelThreadID = static_cast<int>(gettid());
  return KernelThreadID;
}

// Best effort: lowering a thread's priority always works; raising it beyond what the process
// may do is clamped to the permitted floor, and if even that is refused the thread keeps its
// priority. Failure is never reported: the thread runs either way.
void ApplyThreadPriority(int AKernelThreadID, TThreadPriority APriority) noexcept {
  const int Wanted = NiceOf[static_cast<int>(APriority)];
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(AKernelThreadID), Wanted) == 0) return;
  const int Permitted = std::max(Wanted, LowestPermittedNice());
  if (Permitted != Wanted) setpriority(PRIO_PROCESS, static_cast<id_t>(AKernelThreadID), Permitted);
}

} // namespace Id
