// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// The operating-system side of the platform thread, one source file per platform selected by the
// build (ThreadWindows.cpp on Windows).
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/Thread.h"

namespace Id {

/// Makes a detached operating-system thread that runs AEntry(AArg) and ends when it returns.
/// Raises std::system_error when the system refuses, as std::thread does.
void StartDetachedThread(void (*AEntry)(void*), void* AArg);

/// Prepares a new thread of the runner (on Linux, a batch thread: see ThreadPosix.cpp) and
/// notes its start state (signal mask, priority) for RestoreThreadStart. Called once by every
/// new thread.
void KeepThreadStart() noexcept;
/// Gives the calling thread back the state KeepThreadStart noted, so that a thread reused for
/// another body starts it as a new thread would: the signal mask and errno always, the priority
/// when APriorityChanged (the body's thread object gave it one).
void RestoreThreadStart(bool APriorityChanged) noexcept;

/// Sleeps while AWord holds AValue, at most ATimeoutMs (-1: no limit); may also return early,
/// so callers test the word again. Pairs with WakeWordWaiter.
void WaitForWordChange(std::atomic<uint32_t>& AWord, uint32_t AValue, int32_t ATimeoutMs) noexcept;
/// Wakes a thread sleeping in WaitForWordChange on AWord, after AWord was changed.
void WakeWordWaiter(std::atomic<uint32_t>& AWord) noexcept;

/// The calling thread's kernel identifier; never 0. Asks the system once per thread.
int CurrentKernelThreadID() noexcept;

/// Gives the thread with kernel identifier AKernelThreadID the platform priority of a step of the
/// seven-step scale. Best effort: a priority the process may not set is not applied, and nothing
/// is reported. Any thread.
void ApplyThreadPriority(int AKernelThreadID, TThreadPriority APriority) noexcept;

} // namespace Id
