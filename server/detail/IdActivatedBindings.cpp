// SPDX-License-Identifier: MIT
#include "idframework/server/detail/IdActivatedBindings.h"

#include "idframework/core/IdException.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/runtime/CriticalSection.h"

namespace Id {

namespace {

// The binding's address as the stack reads it from a socket bound to it; empty when it is no
// address text.
std::string BoundAddressText(const TIdSocketHandle& ABinding) {
  const bool IPv6 = ABinding.IPVersion() == TIdIPVersion::ivIPv6;
  if (ABinding.IP().empty()) return IPv6 ? "::" : "0.0.0.0";
  if (!IPv6) return ABinding.IP();
  if (!TIdStack::IsIPv6AddressText(ABinding.IP())) return std::string();
  TIdIPv6Bytes Address;
  std::string Scope;
  TIdStack::ParseIPv6AddressText(ABinding.IP(), Address, Scope);
  return TIdStack::IPv6AddressToText(Address, Scope);
}

bool IsMeantFor(const TIdActivatedSocket& ASocket, const TIdSocketHandle& ABinding) {
  if (!ABinding.ActivationName().empty()) return ASocket.Name() == ABinding.ActivationName();
  return ASocket.IsIPv6() == (ABinding.IPVersion() == TIdIPVersion::ivIPv6) &&
         ASocket.Port() == ABinding.Port() && ASocket.IP() == BoundAddressText(ABinding);
}

// Taken once per process: the service manager's variables are gone after the first look.
struct THandedSockets {
  TMutex Lock;
  bool Taken ID_GUARDED_BY(Lock) = false;
  TIdActivatedSockets Sockets ID_GUARDED_BY(Lock);
};

THandedSockets& Handed() {
  static THandedSockets Handed;
  return Handed;
}

} // namespace

bool AdoptHandedSocket(TIdSocketHandle& ABinding, const TIdActivatedSockets& AHanded) {
  for (const TIdActivatedSocket& Socket : AHanded) {
    if (!IsMeantFor(Socket, ABinding)) continue;
    ABinding.AdoptListening(Socket.Descriptor());
    return true;
  }
  return false;
}

bool AdoptActivatedSocket(TIdSocketHandle& ABinding) {
  THandedSockets& H = Handed();
  TLockGuard<TMutex> Guard(H.Lock);
  if (!H.Taken) {
    H.Sockets = TakeActivatedSockets();
    H.Taken = true;
  }
  return AdoptHandedSocket(ABinding, H.Sockets);
}

} // namespace Id
