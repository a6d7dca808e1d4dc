// The operating-system side of the platform thread, one source file per platform selected by the
// build (ThreadWindows.cpp on Windows).
#pragma once

#include "runtime/Thread.h"

namespace Id {

/// The calling thread's kernel identifier; never 0.
int CurrentKernelThreadID() noexcept;

/// Gives the thread with kernel identifier AKernelThreadID the platform priority of a step of the
/// seven-step scale. Best effort: a priority the process may not set is not applied, and nothing
/// is reported. Any thread.
void ApplyThreadPriority(int AKernelThreadID, TThreadPriority APriority) noexcept;

} // namespace Id
