// SPDX-License-Identifier: MIT
// Windows has no descriptor or thread limit of the kind, nor control groups: nothing is known to
// limit the connections (a failed thread or accept is still refused, see the listener).
#include "idframework/server/detail/IdMachineLimits.h"

namespace Id {

TIdMachineLimits::TIdMachineLimits() = default;

std::optional<int64_t> TIdMachineLimits::DescriptorLimit() {
  return std::nullopt;
}

int64_t TIdMachineLimits::OpenDescriptors() {
  return 0;
}

TIdMachineRoom TIdMachineLimits::ReadRoom() const {
  return TIdMachineRoom{};
}

std::optional<TIdRoom> TIdMachineLimits::ThreadRoom() const {
  return std::nullopt;
}

std::optional<TIdRoom> TIdMachineLimits::MemoryRoom() const {
  return std::nullopt;
}

} // namespace Id
