// SPDX-License-Identifier: MIT
#include "idframework/runtime/detail/ThreadPlatform.h"

#include <linux/futex.h>
#include <locale.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfenv>
#include <csignal>
#include <cstring>
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

// What a new thread inherits from its maker and a reused one is given by its starter.
struct TPosixStarterState {
  sigset_t Mask;
  femode_t Modes;
};
static_assert(sizeof(TPosixStarterState) <= sizeof(TStarterState::Bytes));
static_assert(alignof(TPosixStarterState) <= alignof(TStarterState));

} // namespace

void StartDetachedThread(void (*AEntry)(void*), void* AArg, size_t AStackSize) {
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
  if (Error == 0) Error = pthread_attr_setstacksize(&Attributes, AStackSize);
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
thread_local int StartNice = 0;
thread_local int KernelThreadID = 0;

// Blocked by a parked thread: everything the C library lets a program block.
const sigset_t EverySignal = [] {
  sigset_t Set;
  sigfillset(&Set);
  return Set;
}();

} // namespace

void NoteStarterState(TStarterState& AState) noexcept {
  TPosixStarterState State{};
  pthread_sigmask(SIG_SETMASK, nullptr, &State.Mask);
  fegetmode(&State.Modes);
  std::memcpy(AState.Bytes, &State, sizeof(State));
}

void ApplyStarterState(const TStarterState& AState) noexcept {
  TPosixStarterState State;
  std::memcpy(&State, AState.Bytes, sizeof(State));
  fesetmode(&State.Modes);
  pthread_sigmask(SIG_SETMASK, &State.Mask, nullptr);
}

// The framework's threads are batch threads: one that is woken does not take the CPU from the
// thread that woke it. A listener handing clients to parked peer threads keeps accepting until
// it has to wait, and the peers then run one after the other, instead of two thread switches
// for every client. Time slices and nice values work as for any thread.
void KeepThreadStart() noexcept {
  const sched_param Batch{};
  sched_setscheduler(0, SCHED_BATCH, &Batch);
  errno = 0;
  StartNice = getpriority(PRIO_PROCESS, static_cast<id_t>(CurrentKernelThreadID()));
}

// Only what costs no system call, besides the signal mask: a parked thread that took signals
// would receive those meant for a thread that waits for them (sigwait), and die of them when
// their action is the default one.
void RestoreThreadStart(bool APriorityChanged) noexcept {
  pthread_sigmask(SIG_SETMASK, &EverySignal, nullptr);
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  uselocale(LC_GLOBAL_LOCALE);
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
