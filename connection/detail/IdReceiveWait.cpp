// SPDX-License-Identifier: MIT
#include "idframework/connection/detail/IdReceiveWait.h"

#include <algorithm>

#include "idframework/connection/IdTrafficCounters.h"
#include "idframework/core/IdException.h"
#include "idframework/net/IdStack.h"

namespace Id {

TIdReceiveWait WaitOfReceive(int32_t ATimeout, int32_t AIdleTimeout, bool ANothingUnread,
                             const TIdReceiveClock::time_point* ALineDeadline) {
  TIdReceiveWait Wait{ATimeout, TIdReceiveLimit::rlReader};
  const auto Shorten = [&Wait](int64_t AMs, TIdReceiveLimit ALimit) {
    if (Wait.Ms == TimeoutInfinite || AMs < Wait.Ms)
      Wait = {static_cast<int32_t>(std::max<int64_t>(AMs, 0)), ALimit};
  };
  if (AIdleTimeout > 0 && ANothingUnread) Shorten(AIdleTimeout, TIdReceiveLimit::rlIdle);
  if (ALineDeadline)
    Shorten(std::chrono::ceil<std::chrono::milliseconds>(*ALineDeadline - TIdReceiveClock::now())
                .count(),
            TIdReceiveLimit::rlLine);
  return Wait;
}

int32_t ReceiveTimedOut(TIdReceiveLimit ALimit, bool ARaiseOnTimeout,
                        TIdTrafficCounters* ATraffic) {
  const auto Count = [ATraffic](TIdTrafficCount ACount) {
    if (ATraffic) ATraffic->Add(ACount);
  };
  switch (ALimit) {
  case TIdReceiveLimit::rlIdle:
    Count(TIdTrafficCount::tcIdleTimeouts);
    throw EIdIdleTimeout();
  case TIdReceiveLimit::rlLine:
    Count(TIdTrafficCount::tcLineTimeouts);
    throw EIdLineTimeout();
  case TIdReceiveLimit::rlReader:
    break;
  }
  if (!ARaiseOnTimeout) return -1;
  Count(TIdTrafficCount::tcReadTimeouts);
  throw EIdReadTimeout();
}

} // namespace Id
