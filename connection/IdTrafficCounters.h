// SPDX-License-Identifier: MIT
// What a connection counts for whoever watches it: bytes each way and its timed-out reads and
// writes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "idframework/runtime/ShardedCounters.h"

namespace Id {

/// The counts of TIdTrafficCounters: bytes received from and sent to the transport, and the
/// reads and writes that ran out of each time limit (ReadTimeout, WriteTimeout, LineTimeout,
/// IdleTimeout).
enum class TIdTrafficCount : uint8_t {
  tcBytesIn,
  tcBytesOut,
  tcReadTimeouts,
  tcWriteTimeouts,
  tcLineTimeouts,
  tcIdleTimeouts,
  tcCount_ // the number of counts
};

/// The traffic counts of many connections at once (a server's peers), without a lock: see
/// TShardedCounters.
class TIdTrafficCounters {
public:
  /// Adds ADelta to ACount. Any thread, without a lock.
  void Add(TIdTrafficCount ACount, int64_t ADelta = 1) noexcept {
    FCounts.Add(static_cast<size_t>(ACount), ADelta);
  }
  /// The total of ACount over every thread's share, read at any time.
  int64_t Sum(TIdTrafficCount ACount) const noexcept {
    return FCounts.Sum(static_cast<size_t>(ACount));
  }

private:
  TShardedCounters<static_cast<size_t>(TIdTrafficCount::tcCount_)> FCounts;
};

} // namespace Id
