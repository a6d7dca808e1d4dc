// SPDX-License-Identifier: MIT
#include "idframework/connection/detail/IdTransportSlot.h"

#include "idframework/connection/IdIOHandler.h"
#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/core/IdException.h"

namespace Id {

// A user is counted before it reads the transport, and a release clears the transport before it
// reads the count. So either the release sees this user and parks an owned transport for the
// last user out to free, or this user reads the transport that replaced it (or none).
TIdTransportSlot::TUse::TUse(TIdTransportSlot& ASlot) noexcept : FSlot(ASlot) {
  ASlot.FUsers.fetch_add(1);
  FHandler = ASlot.FHandler.load();
}

TIdTransportSlot::TUse::~TUse() {
  if (FSlot.FUsers.fetch_sub(1) == 1 && FSlot.FHasParked.load()) FSlot.FreeParkedIfUnused();
}

TIdTransportSlot::TIdTransportSlot(TComponent& AHolder) : FHolder(AHolder) {}

TIdTransportSlot::~TIdTransportSlot() {
  std::vector<TOwned> Parked;
  TOwned Owned;
  TLockGuard<TMutex> Guard(FLock);
  Parked.swap(FParked);
  Owned = std::move(FOwned);
  FHandler.store(nullptr);
  // Freed after the guard: no transport is freed under the lock.
}

TIdIOHandlerSocket* TIdTransportSlot::SocketTransport() const {
  TLockGuard<TMutex> Guard(FLock);
  return FSocket;
}

int32_t TIdTransportSlot::Send(const void* ABuffer, int32_t ALength) {
  TUse Handler(*this);
  if (!Handler) throw EIdNotConnected();
  return Handler->SendBytes(ABuffer, ALength);
}

std::optional<int64_t> TIdTransportSlot::TransmitFile(TIdFileTransmitter ATransmitter,
                                                      const std::string& AFileName) {
  TUse Handler(*this);
  auto* Socket = dynamic_cast<TIdIOHandlerSocket*>(Handler.Get());
  if (!Socket || !Socket->WholeFileSendAllowed()) return std::nullopt;
  return Socket->TransmitFile(ATransmitter, AFileName);
}

bool TIdTransportSlot::Owns() const {
  TLockGuard<TMutex> Guard(FLock);
  return FOwns;
}

void TIdTransportSlot::SetOwns(bool AValue) {
  TLockGuard<TMutex> Guard(FLock);
  FOwns = AValue;
  TIdIOHandler* Handler = FHandler.load();
  if (AValue && Handler && !FOwned) FOwned.reset(Handler);
  if (!AValue) static_cast<void>(FOwned.release()); // its holder takes it back
}

void TIdTransportSlot::Set(TIdIOHandler* AValue) {
  TOwned Released;
  {
    TLockGuard<TMutex> Guard(FLock);
    Released = SetLocked(AValue);
  }
  Released.reset();
  if (FHasParked.load() && FUsers.load() == 0) FreeParkedIfUnused();
}

void TIdTransportSlot::Adopt(std::unique_ptr<TIdIOHandler> AValue) {
  TOwned Released;
  {
    TLockGuard<TMutex> Guard(FLock);
    Released = SetLocked(AValue.get());
    if (AValue) {
      FOwns = true;
      if (FOwned)
        static_cast<void>(AValue.release()); // held already, owned since Owns was set
      else
        FOwned = std::move(AValue);
    }
  }
  Released.reset();
  if (FHasParked.load() && FUsers.load() == 0) FreeParkedIfUnused();
}

// Releases the current transport (an owned one is handed back for the caller to free once it has
// let go of the lock, or parked) and holds AValue: a new channel.
TIdTransportSlot::TOwned TIdTransportSlot::SetLocked(TIdIOHandler* AValue) {
  TIdIOHandler* const Old = FHandler.load();
  if (AValue == Old) return nullptr; // setting it again must not free what it keeps
  TOwned Released;
  if (Old && FOwns) {
    Released = DetachLocked();
    FOwns = false;
  } else if (Old) {
    FHolder.RemoveFreeNotification(Old);
  }
  FHandler.store(AValue);
  FSocket = dynamic_cast<TIdIOHandlerSocket*>(AValue);
  FCloseBegun = false;
  if (AValue) FHolder.FreeNotification(AValue);
  // Owns set while no transport was held applies to the new one.
  if (AValue && FOwns) FOwned.reset(AValue);
  return Released;
}

void TIdTransportSlot::ReleaseOwned() {
  TOwned Released;
  {
    TLockGuard<TMutex> Guard(FLock);
    if (!FOwns) return;
    Released = DetachLocked();
    FOwns = false;
  }
  Released.reset();
  // The last user may have left between the count and the parking, without seeing it.
  if (FHasParked.load() && FUsers.load() == 0) FreeParkedIfUnused();
}

// Drops the transport; returns an owned one that no thread uses, for the caller to free once it
// has let go of the lock, or parks it while a thread is inside.
TIdTransportSlot::TOwned TIdTransportSlot::DetachLocked() {
  if (TIdIOHandler* Old = FHandler.load()) FHolder.RemoveFreeNotification(Old);
  FHandler.store(nullptr);
  FSocket = nullptr;
  if (!FOwned) return nullptr;
  return ParkOrHandBack(std::move(FOwned));
}

TIdTransportSlot::TOwned TIdTransportSlot::ParkOrHandBack(TOwned AHandler) {
  if (FUsers.load() == 0) return AHandler;
  FParked.push_back(std::move(AHandler));
  FHasParked.store(true);
  return nullptr;
}

void TIdTransportSlot::FreeParkedIfUnused() {
  std::vector<TOwned> Gone;
  TLockGuard<TMutex> Guard(FLock);
  if (FUsers.load() != 0) return;
  Gone.swap(FParked);
  FHasParked.store(false);
  // Gone is destroyed after the guard: no transport is freed under the lock.
}

void TIdTransportSlot::Forget(const TComponent* AComponent) {
  TLockGuard<TMutex> Guard(FLock);
  if (!AComponent || AComponent != FHandler.load()) return;
  // Being destroyed by someone else: forgotten without being freed again.
  if (FOwned.get() == AComponent) static_cast<void>(FOwned.release());
  FHandler.store(nullptr);
  FSocket = nullptr;
}

TIdTransportSlot::TState TIdTransportSlot::State() {
  TUse Handler(*this);
  return StateOf(Handler.Get());
}

TIdTransportSlot::TState TIdTransportSlot::StateOf(TIdIOHandler* AHandler) const {
  if (!AHandler) return TState::NoTransport;
  if (!AHandler->IsOpen()) return TState::Closed;
  return FPeerClosed.load() ? TState::CloseDue : TState::Open;
}

bool TIdTransportSlot::BeginClose() {
  TLockGuard<TMutex> Guard(FLock);
  TIdIOHandler* Handler = FHandler.load();
  if (!Handler || FCloseBegun || !Handler->IsOpen()) return false;
  FCloseBegun = true;
  return true;
}

void TIdTransportSlot::MarkClosed() {
  FPeerClosed.store(true);
  TLockGuard<TMutex> Guard(FLock);
  FCloseBegun = true;
}

void TIdTransportSlot::Drop() {
  TUse Handler(*this);
  if (!Handler) return;
  MarkClosed();
  Handler->CloseIO();
}

void TIdTransportSlot::ResetClose() {
  FPeerClosed.store(false);
  TLockGuard<TMutex> Guard(FLock);
  FCloseBegun = false;
}

} // namespace Id
