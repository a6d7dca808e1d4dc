// SPDX-License-Identifier: MIT
#include "idframework/server/IdServerCounters.h"

namespace Id {

TIdServerCounters TIdServerCounterSet::Snapshot(int64_t AActive) const noexcept {
  const auto Refused = [this](TIdRefusal AReason) {
    return FCounts.Sum(static_cast<size_t>(AReason));
  };
  TIdServerCounters Result;
  Result.Accepted = FCounts.Sum(0);
  Result.Active = AActive;
  Result.RefusedLimit = Refused(TIdRefusal::rfLimit);
  Result.RefusedPerAddress = Refused(TIdRefusal::rfPerAddress);
  Result.RefusedResources = Refused(TIdRefusal::rfResources);
  Result.RefusedHandshake = Refused(TIdRefusal::rfHandshake);
  Result.TimedOutRead = FTraffic.Sum(TIdTrafficCount::tcReadTimeouts);
  Result.TimedOutWrite = FTraffic.Sum(TIdTrafficCount::tcWriteTimeouts);
  Result.TimedOutLine = FTraffic.Sum(TIdTrafficCount::tcLineTimeouts);
  Result.TimedOutIdle = FTraffic.Sum(TIdTrafficCount::tcIdleTimeouts);
  Result.BytesIn = FTraffic.Sum(TIdTrafficCount::tcBytesIn);
  Result.BytesOut = FTraffic.Sum(TIdTrafficCount::tcBytesOut);
  return Result;
}

} // namespace Id
