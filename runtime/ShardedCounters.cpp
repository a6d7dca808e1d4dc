// SPDX-License-Identifier: MIT
#include "idframework/runtime/ShardedCounters.h"

namespace Id {

namespace {

// Every TShardedCounters has this many shards; the thread's number picks one of them.
constexpr size_t Shards = TShardedCounters<1>::ShardCount;

std::atomic<size_t> GNextShard{0};

} // namespace

size_t ThreadShard() noexcept {
  thread_local const size_t Shard = GNextShard.fetch_add(1, std::memory_order_relaxed) % Shards;
  return Shard;
}

} // namespace Id
