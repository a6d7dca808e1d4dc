// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// Runs thread bodies on operating-system threads, keeping the threads of bodies that returned
// parked for the next ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace Id {

/// One body run on an operating-system thread. Its starter and the thread serving it share it;
/// a starter that lets go without joining has detached it.
struct TThreadRun;

/// Runs AEntry(AArg) on a parked operating-system thread with a stack of AStackSize bytes when
/// one is free, else on a new one. Before the body, a reused thread has reset what the body
/// before it changed (see RestoreThreadStart) and the registered per-thread state, and takes the
/// calling thread's starter state, as a new thread would. Raises std::system_error when no
/// thread can be made. Any thread.
std::shared_ptr<TThreadRun> StartThreadRun(void (*AEntry)(void*), void* AArg, size_t AStackSize);
/// Waits until the body has returned and its thread no longer touches anything of the caller's.
/// Never from the run's own thread.
void JoinThreadRun(TThreadRun& ARun) noexcept;
/// Tells the run's thread that its body was given a priority of its own, to be undone before the
/// thread serves another body. Any thread, while the body runs.
void NotePriorityChanged(TThreadRun& ARun) noexcept;
/// NotePriorityChanged for the run the calling thread serves (nothing outside a run).
void NoteOwnPriorityChanged() noexcept;

/// The most threads kept parked at once, and how long each waits for another body before it
/// ends, in ms. Read at each park.
void SetParkedThreadLimits(int32_t AMaxParked, int32_t AIdleMs);
int32_t MaxParkedThreads() noexcept;
int32_t ParkedThreadIdleMs() noexcept;
/// Threads parked at this moment.
int32_t ParkedThreadCount() noexcept;

} // namespace Id
