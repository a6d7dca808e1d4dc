#include "runtime/detail/ThreadPlatform.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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
// 8 MiB of a Linux process. Besides the address space, it lets the C library keep the stacks of
// forty ended threads for the next ones instead of five, so that a server starting a thread per
// connection mostly reuses a stack whose pages are already mapped.
constexpr size_t ThreadStackSize = size_t(1) << 20;

static_assert(sizeof(pthread_t) <= sizeof(TPlatformThread));

} // namespace

TPlatformThread StartPlatformThread(void* (*AEntry)(void*), void* AArg) {
  pthread_attr_t Attributes;
  int Error = pthread_attr_init(&Attributes);
  if (Error == 0) Error = pthread_attr_setstacksize(&Attributes, ThreadStackSize);
  pthread_t Thread{};
  if (Error == 0) Error = pthread_create(&Thread, &Attributes, AEntry, AArg);
  pthread_attr_destroy(&Attributes);
  if (Error != 0) throw std::system_error(Error, std::generic_category(), "pthread_create");
  return static_cast<TPlatformThread>(Thread);
}

void JoinPlatformThread(TPlatformThread AThread) noexcept {
  pthread_join(static_cast<pthread_t>(AThread), nullptr);
}

void DetachPlatformThread(TPlatformThread AThread) noexcept {
  pthread_detach(static_cast<pthread_t>(AThread));
}

int CurrentKernelThreadID() noexcept {
  return static_cast<int>(gettid());
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
