// SPDX-License-Identifier: MIT
// What a server counts for its operators: clients accepted and refused (by reason), connections
// running, reads and writes that timed out (by kind), and bytes each way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "idframework/connection/IdTrafficCounters.h"
#include "idframework/runtime/Export.h"
#include "idframework/runtime/ShardedCounters.h"

namespace Id {

/// A server's counts at one moment (TIdTCPServer::Counters). Every count but Active runs from
/// the server's creation, across activations.
struct TIdServerCounters {
  int64_t Accepted = 0;          ///< clients accepted, the refused ones included
  int64_t Active = 0;            ///< peer threads running now
  int64_t RefusedLimit = 0;      ///< over MaxConnections
  int64_t RefusedPerAddress = 0; ///< over MaxConnectionsPerAddress
  /// Over what the machine allows (the cap that follows the machine when MaxConnections is not
  /// set), or for want of a thread or a descriptor.
  int64_t RefusedResources = 0;
  int64_t RefusedHandshake = 0; ///< the transport's accept step (a TLS handshake) failed
  int64_t TimedOutRead = 0;     ///< EIdReadTimeout: ReadTimeout ran out
  int64_t TimedOutWrite = 0;    ///< EIdWriteTimeout
  int64_t TimedOutLine = 0;     ///< EIdLineTimeout
  int64_t TimedOutIdle = 0;     ///< EIdIdleTimeout
  int64_t BytesIn = 0;          ///< received from the peers' transports
  int64_t BytesOut = 0;         ///< sent through the peers' transports
};

/// Why a client was refused.
enum class TIdRefusal : uint8_t { rfNone, rfLimit, rfPerAddress, rfResources, rfHandshake };

/// The live counts behind TIdServerCounters: added to by the listener and peer threads without
/// a lock (see TShardedCounters), read by a snapshot. The peer connections add their traffic to
/// Traffic().
///
/// Threads: any thread.
class ID_API TIdServerCounterSet {
public:
  /// One more client accepted.
  void CountAccepted() noexcept { FCounts.Add(0); }
  /// One more client refused for AReason (rfNone counts nothing).
  void CountRefused(TIdRefusal AReason) noexcept {
    if (AReason != TIdRefusal::rfNone) FCounts.Add(static_cast<size_t>(AReason));
  }
  /// Where the peer connections count their bytes and timed-out reads and writes.
  TIdTrafficCounters& Traffic() noexcept { return FTraffic; }
  /// Every count now, with AActive as Active.
  TIdServerCounters Snapshot(int64_t AActive) const noexcept;

private:
  // Accepted at 0, then one per refusal reason at its TIdRefusal value.
  TShardedCounters<static_cast<size_t>(TIdRefusal::rfHandshake) + 1> FCounts;
  TIdTrafficCounters FTraffic;
};

} // namespace Id
