#include "runtime/detail/ThreadPlatform.h"

#include <windows.h>

#include <cerrno>
#include <thread>

namespace Id {

namespace {

// The seven steps are the seven thread priorities of Windows, idle to time-critical.
constexpr int WindowsPriorityOf[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                     THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                     THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                     THREAD_PRIORITY_TIME_CRITICAL};

} // namespace

void StartDetachedThread(void (*AEntry)(void*), void* AArg) {
  std::thread(AEntry, AArg).detach();
}

namespace {

thread_local int StartPriority = THREAD_PRIORITY_NORMAL;

} // namespace

void KeepThreadStart() noexcept {
  StartPriority = ::GetThreadPriority(::GetCurrentThread());
}

void RestoreThreadStart(bool APriorityChanged) noexcept {
  if (APriorityChanged) ::SetThreadPriority(::GetCurrentThread(), StartPriority);
  errno = 0;
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
