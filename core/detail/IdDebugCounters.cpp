// SPDX-License-Identifier: MIT
#include "idframework/core/detail/IdDebugCounters.h"

#include <atomic>

namespace Id {

namespace {

constexpr int CounterCount = 3;

// Constant-initialised, so that objects made during static initialisation count too.
std::atomic<int64_t> Counters[CounterCount] = {};

std::atomic<int64_t>& CounterOf(TIdDebugCounter ACounter) noexcept {
  return Counters[static_cast<int>(ACounter)];
}

} // namespace

void DebugCounterAdd(TIdDebugCounter ACounter, int32_t ADelta) noexcept {
  CounterOf(ACounter).fetch_add(ADelta, std::memory_order_relaxed);
}

int64_t DebugCounterValue(TIdDebugCounter ACounter) noexcept {
  return CounterOf(ACounter).load(std::memory_order_relaxed);
}

TIdDebugCounts DebugCounts() noexcept {
  TIdDebugCounts Counts;
  Counts.SocketHandles = DebugCounterValue(TIdDebugCounter::dcSocketHandles);
  Counts.Connections = DebugCounterValue(TIdDebugCounter::dcConnections);
  Counts.Threads = DebugCounterValue(TIdDebugCounter::dcThreads);
  return Counts;
}

} // namespace Id
