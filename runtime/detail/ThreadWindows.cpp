#include "runtime/detail/ThreadPlatform.h"

#include <windows.h>

#include <thread>

namespace Id {

namespace {

// The seven steps are the seven thread priorities of Windows, idle to time-critical.
constexpr int WindowsPriorityOf[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                     THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                     THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                     THREAD_PRIORITY_TIME_CRITICAL};

} // namespace

// The runtime's own threads, which the C++ library sets up as it needs; the handle is the
// std::thread object.
TPlatformThread StartPlatformThread(void* (*AEntry)(void*), void* AArg) {
  return reinterpret_cast<TPlatformThread>(new std::thread(AEntry, AArg));
}

void JoinPlatformThread(TPlatformThread AThread) noexcept {
  auto* Thread = reinterpret_cast<std::thread*>(AThread);
  Thread->join();
  delete Thread;
}

void DetachPlatformThread(TPlatformThread AThread) noexcept {
  auto* Thread = reinterpret_cast<std::thread*>(AThread);
  Thread->detach();
  delete Thread;
}

int CurrentKernelThreadID() noexcept {
  return static_cast<int>(::GetCurrentThreadId());
}

void ApplyThreadPriority(int AKernelThreadID, TThreadPriority APriority) noexcept {
  const HANDLE Thread =
      ::OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(AKernelThreadID));
  if (!Thread) return;
  ::SetThreadPriority(Thread, WindowsPriorityOf[static_cast<int>(APriority)]);
  ::CloseHandle(Thread);
}

} // namespace Id
