// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// The operating-system side of the platform thread, one source file per platform selected by the
// build (ThreadWindows.cpp on Windows).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "idframework/runtime/Thread.h"

namespace Id {

/// What a new thread takes over from the thread that makes it, noted by the thread that starts a
/// body on a reused thread instead (on POSIX systems the signal mask and the floating-point
/// modes; nothing on Windows). Opaque storage, read and written only by the platform's file.
struct TStarterState {
  alignas(16) unsigned char Bytes[160];
};

/// Makes a detached operating-system thread with a stack of AStackSize bytes that runs
/// AEntry(AArg) and ends when it returns; the new thread has the caller's starter state.
/// Raises std::system_error when the system refuses, as std::thread does.
void StartDetachedThread(void (*AEntry)(void*), void* AArg, size_t AStackSize);

/// Notes the calling thread's starter state into AState. The starting thread.
void NoteStarterState(TStarterState& AState) noexcept;
/// Gives the calling (reused) thread the starter state AState, before the body.
void ApplyStarterState(const TStarterState& AState) noexcept;

/// Prepares a new thread of the runner (on Linux, a batch thread: see ThreadPosix.cpp) and
/// notes its start state (priority) for RestoreThreadStart. Called once by every new thread.
void KeepThreadStart() noexcept;
/// Resets what a body may have changed on the calling thread, after the body, so that the next
/// one starts as on a new thread (see TThread::SetParkedThreads): errno, cancellation, locale,
/// the priority when APriorityChanged (the body's thread object gave it one); and blocks every
/// signal while the thread is parked.
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
