// SPDX-License-Identifier: MIT
// Counts that many threads add to all the time and that are read now and then.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "idframework/runtime/Export.h"

namespace Id {

/// The shard of the calling thread: a number below ShardCount, given to each thread the first
/// time it asks, in turn, so that threads running at once mostly write to different shards.
ID_API size_t ThreadShard() noexcept;

/// N counts kept in ShardCount copies (shards) of a cache line or more each. A thread adds to
/// its own shard with a relaxed atomic add, without a lock and without sharing a cache line with
/// a thread of another shard; a reading sums the shards. A sum taken while threads add is a
/// snapshot: each shard is read once, at a slightly different moment.
///
/// Threads: any thread may add and read at any time.
template <size_t N> class TShardedCounters {
public:
  /// The shares of each count: threads spread over them by their slot.
  static constexpr size_t ShardCount = 16;

  /// Adds ADelta to count AIndex (below N).
  void Add(size_t AIndex, int64_t ADelta = 1) noexcept {
    FShards[ThreadShard()].Values[AIndex].fetch_add(ADelta, std::memory_order_relaxed);
  }
  /// The sum of count AIndex over the shards.
  int64_t Sum(size_t AIndex) const noexcept {
    int64_t Total = 0;
    for (const TShard& Shard : FShards)
      Total += Shard.Values[AIndex].load(std::memory_order_relaxed);
    return Total;
  }

private:
  struct alignas(64) TShard {
    std::array<std::atomic<int64_t>, N> Values{};
  };
  std::array<TShard, ShardCount> FShards{};
};

} // namespace Id
