// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// How long one receive of a connection may wait under its time limits, and what a wait that
// ran out raises.
#pragma once

#include <chrono>
#include <cstdint>

namespace Id {

class TIdTrafficCounters;

/// Which limit ends the wait of one receive: the reader's own, the idle limit, a line's deadline.
enum class TIdReceiveLimit { rlReader, rlIdle, rlLine };

/// The wait of one receive in ms (TimeoutInfinite: none) and the limit that ends it.
struct TIdReceiveWait {
  int32_t Ms;
  TIdReceiveLimit Limit;
};

using TIdReceiveClock = std::chrono::steady_clock;

/// The reader's wait ATimeout (ms or TimeoutInfinite), made shorter by AIdleTimeout (above 0,
/// while ANothingUnread) and by what is left until ALineDeadline (when given), whichever comes
/// first.
TIdReceiveWait WaitOfReceive(int32_t ATimeout, int32_t AIdleTimeout, bool ANothingUnread,
                             const TIdReceiveClock::time_point* ALineDeadline);

/// A receive whose wait ran out under ALimit: the idle limit and a line's deadline always raise
/// (EIdIdleTimeout, EIdLineTimeout); the reader's own only with ARaiseOnTimeout (EIdReadTimeout),
/// else the result is -1. Each raise is counted in ATraffic when there is one.
int32_t ReceiveTimedOut(TIdReceiveLimit ALimit, bool ARaiseOnTimeout, TIdTrafficCounters* ATraffic);

} // namespace Id
