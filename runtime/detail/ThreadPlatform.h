// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// The operating-system side of the platform thread, one source file per platform selected by the
// build (ThreadWindows.cpp on Windows).
#pragma once

#include <cstdint>

#include "runtime/Thread.h"

namespace Id {

/// An operating-system thread made by StartPlatformThread: the system's handle for it.
using TPlatformThread = uintptr_t;

/// Makes an operating-system thread that runs AEntry(AArg). Raises std::system_error when the
/// system refuses, as std::thread does.
TPlatformThread StartPlatformThread(void* (*AEntry)(void*), void* AArg);
/// Waits until the thread has ended, then lets go of it.
void JoinPlatformThread(TPlatformThread AThread) noexcept;
/// Lets go of the thread without waiting; it ends on its own.
void DetachPlatformThread(TPlatformThread AThread) noexcept;

/// The calling thread's kernel identifier; never 0.
int CurrentKernelThreadID() noexcept;

/// Gives the thread with kernel identifier AKernelThreadID the platform priority of a step of the
/// seven-step scale. Best effort: a priority the process may not set is not applied, and nothing
/// is reported. Any thread.
void ApplyThreadPriority(int AKernelThreadID, TThreadPriority APriority) noexcept;

} // namespace Id
