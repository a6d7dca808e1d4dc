// SPDX-License-Identifier: MIT
#include "idframework/server/IdSystemd.h"

#include <utility>

namespace Id {

TIdActivatedSocket::TIdActivatedSocket(TIdSocketDescriptor ADescriptor, std::string AName,
                                       bool AIPv6, std::string AIP, int32_t APort)
    : FDescriptor(ADescriptor), FName(std::move(AName)), FIPv6(AIPv6), FIP(std::move(AIP)),
      FPort(APort) {}

TIdActivatedSocket::~TIdActivatedSocket() {
  if (FDescriptor != InvalidSocketDescriptor) GlobalStack()->SockClose(FDescriptor);
}

TIdActivatedSocket::TIdActivatedSocket(TIdActivatedSocket&& AOther) noexcept
    : FDescriptor(AOther.Release()), FName(std::move(AOther.FName)), FIPv6(AOther.FIPv6),
      FIP(std::move(AOther.FIP)), FPort(AOther.FPort) {}

TIdActivatedSocket& TIdActivatedSocket::operator=(TIdActivatedSocket&& AOther) noexcept {
  if (this == &AOther) return *this;
  if (FDescriptor != InvalidSocketDescriptor) GlobalStack()->SockClose(FDescriptor);
  FDescriptor = AOther.Release();
  FName = std::move(AOther.FName);
  FIPv6 = AOther.FIPv6;
  FIP = std::move(AOther.FIP);
  FPort = AOther.FPort;
  return *this;
}

TIdSocketDescriptor TIdActivatedSocket::Release() noexcept {
  return std::exchange(FDescriptor, InvalidSocketDescriptor);
}

bool NotifyReady() {
  return NotifyServiceManager("READY=1");
}

bool NotifyStopping() {
  return NotifyServiceManager("STOPPING=1");
}

bool NotifyWatchdog() {
  return NotifyServiceManager("WATCHDOG=1");
}

} // namespace Id
