// SPDX-License-Identifier: MIT
#include "idframework/runtime/detail/ThreadPlatform.h"

#include <process.h>
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace Id {

namespace {

// The seven steps are the seven thread priorities of Windows, idle to time-critical.
constexpr int WindowsPriorityOf[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                     THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                     THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                     THREAD_PRIORITY_TIME_CRITICAL};

} // namespace

namespace {

struct TStart {
  void (*Entry)(void*);
  void* Arg;
};

unsigned __stdcall ThreadTrampoline(void* AStart) {
  const TStart Copy = *static_cast<TStart*>(AStart);
  delete static_cast<TStart*>(AStart);
  Copy.Entry(Copy.Arg);
  return 0;
}

} // namespace

// The size is what the thread reserves; its pages are committed as the stack grows.
void StartDetachedThread(void (*AEntry)(void*), void* AArg, size_t AStackSize) {
  auto* Start = new TStart{AEntry, AArg};
  const uintptr_t Thread =
      ::_beginthreadex(nullptr, static_cast<unsigned>(AStackSize), &ThreadTrampoline, Start,
                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (Thread != 0) {
    ::CloseHandle(reinterpret_cast<HANDLE>(Thread));
    return;
  }
  const int Error = errno;
  delete Start;
  throw std::system_error(Error, std::generic_category(), "_beginthreadex");
}

// Windows threads inherit neither a signal mask nor floating-point modes from their maker.
void NoteStarterState(TStarterState&) noexcept {}

void ApplyStarterState(const TStarterState&) noexcept {}

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

namespace {

// One lock and condition for every word: the runner's hand-overs are rare enough here.
std::mutex WordLock;
std::condition_variable WordChanged;

} // namespace

void WaitForWordChange(std::atomic<uint32_t>& AWord, uint32_t AValue, int32_t ATimeoutMs) noexcept {
  std::unique_lock<std::mutex> Lock(WordLock);
  const auto Changed = [&] { return AWord.load() != AValue; };
  if (ATimeoutMs < 0)
    WordChanged.wait(Lock, Changed);
  else
    WordChanged.wait_for(Lock, std::chrono::milliseconds(ATimeoutMs), Changed);
}

void WakeWordWaiter(std::atomic<uint32_t>&) noexcept {
  std::lock_guard<std::mutex> Guard(WordLock);
  WordChanged.notify_all();
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
