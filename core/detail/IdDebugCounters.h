// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// Live counts of the objects whose leaks matter most under load: socket handles, connections and
// framework threads. Always on: each count is one relaxed atomic, changed once when an object is
// made and once when it goes, so that a leak shows as a number that does not come back down.
#pragma once

#include <cstdint>

namespace Id {

/// What is counted. Each count is of live objects, not of the resources they hold:
/// dcSocketHandles counts TIdSocketHandle objects (bindings, accepted and connecting sockets),
/// whether or not they hold an open descriptor at the moment; dcConnections counts
/// TIdTCPConnection objects (server connections included); dcThreads counts TIdThread objects
/// (listener, peer and connect threads), each of which has one platform thread from its
/// construction until its destruction.
enum class TIdDebugCounter : uint8_t { dcSocketHandles = 0, dcConnections = 1, dcThreads = 2 };

/// Changes a count by ADelta. Any thread.
void DebugCounterAdd(TIdDebugCounter ACounter, int32_t ADelta) noexcept;
/// One more / one fewer live object of the kind; the hooks of the counted classes.
inline void DebugCountUp(TIdDebugCounter ACounter) noexcept {
  DebugCounterAdd(ACounter, +1);
}
inline void DebugCountDown(TIdDebugCounter ACounter) noexcept {
  DebugCounterAdd(ACounter, -1);
}
/// The current count. Any thread; a reading taken while other threads make or free objects is
/// only a snapshot.
int64_t DebugCounterValue(TIdDebugCounter ACounter) noexcept;

/// All counts at one moment (each read on its own).
struct TIdDebugCounts {
  int64_t SocketHandles = 0;
  int64_t Connections = 0;
  int64_t Threads = 0;
  bool operator==(const TIdDebugCounts&) const = default;
};
TIdDebugCounts DebugCounts() noexcept;

} // namespace Id
