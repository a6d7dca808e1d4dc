#include "runtime/ThreadPlatform.h"

#include <windows.h>

namespace Id {

namespace {

// The seven steps are the seven thread priorities of Windows, idle to time-critical.
constexpr int WindowsPriorityOf[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                     THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                     THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                     THREAD_PRIORITY_TIME_CRITICAL};

} // namespace

int CurrentKernelThreadID() noexcept { return static_cast<int>(::GetCurrentThreadId()); }

void ApplyThreadPriority(int AKernelThreadID, TThreadPriority APriority) noexcept {
  const HANDLE Thread =
      ::OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(AKernelThreadID));
  if (!Thread) return;
  ::SetThreadPriority(Thread, WindowsPriorityOf[static_cast<int>(APriority)]);
  ::CloseHandle(Thread);
}

} // namespace Id
