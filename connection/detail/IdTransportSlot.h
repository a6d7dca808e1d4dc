// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// The transport of one connection: which IOHandler it is, whether the connection owns it, how it
// is kept alive while a thread is inside it, and who begins the close of its channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "idframework/net/IdStack.h"
#include "idframework/runtime/CriticalSection.h"

namespace Id {

class TComponent;
class TIdIOHandler;
class TIdIOHandlerSocket;

/// The transport of a TIdTCPConnection, owned or borrowed, and the state of its channel: found
/// closed by the peer, and the close begun.
///
/// A thread inside the transport (a TUse) keeps it alive without a lock: an owned transport that
/// is released meanwhile is parked and freed by the last thread out. The changes of the slot,
/// and the decision of which call begins the close of the current channel, are taken under one
/// plain lock, which is never held while anything outside the framework runs: transports that
/// are freed, and the events of a close, are dealt with by the caller after the lock is let go.
///
/// Threads: the connection's thread sets the transport; any thread may use it, release an owned
/// one, begin the close, and receive the removal notice of a borrowed one.
class TIdTransportSlot {
public:
  /// One thread inside the transport: the transport stays alive until the TUse goes.
  class TUse {
  public:
    explicit TUse(TIdTransportSlot& ASlot) noexcept;
    ~TUse();
    TUse(const TUse&) = delete;
    TUse& operator=(const TUse&) = delete;

    explicit operator bool() const noexcept { return FHandler != nullptr; }
    TIdIOHandler* operator->() const noexcept { return FHandler; }
    TIdIOHandler* Get() const noexcept { return FHandler; }

  private:
    TIdTransportSlot& FSlot;
    TIdIOHandler* FHandler;
  };

  /// AHolder (the connection) is registered for the removal of every borrowed transport.
  explicit TIdTransportSlot(TComponent& AHolder);
  /// Frees an owned transport and the parked ones; no thread may be inside any of them.
  ~TIdTransportSlot();
  TIdTransportSlot(const TIdTransportSlot&) = delete;
  TIdTransportSlot& operator=(const TIdTransportSlot&) = delete;

  /// The transport; nullptr when none. Any thread; only a TUse may call into it.
  TIdIOHandler* Current() const noexcept { return FHandler.load(); }
  /// The transport when it is a socket transport, else nullptr.
  TIdIOHandlerSocket* SocketTransport() const;
  /// One send through the transport, inside a use: its raw result (see TIdIOHandler::SendBytes).
  /// Raises EIdNotConnected when there is none.
  int32_t Send(const void* ABuffer, int32_t ALength);
  /// Runs ATransmitter (the whole-file send) on a socket transport that allows it, inside a
  /// use, and returns its result; none when the transport is none or of another kind.
  std::optional<int64_t> TransmitFile(TIdFileTransmitter ATransmitter,
                                      const std::string& AFileName);
  /// Whether the slot frees its transport when it is released.
  bool Owns() const;
  /// True adopts the current transport; false gives it back to its holder.
  void SetOwns(bool AValue);
  /// Releases the current transport (an owned one is freed), then holds AValue (borrowed, or
  /// owned when the slot owned nothing before and Owns is set). A new channel: its close has not
  /// begun.
  void Set(TIdIOHandler* AValue);
  /// Set, then owns AValue.
  void Adopt(std::unique_ptr<TIdIOHandler> AValue);
  /// When the slot owns its transport: frees it (parked while a thread is inside it), holds none
  /// and owns nothing any more. A borrowed transport stays.
  void ReleaseOwned();
  /// The holder was told that AComponent is being destroyed: forgets it (without freeing it)
  /// when it is the transport.
  void Forget(const TComponent* AComponent);

  /// What one look at the transport finds: none, closed, closed by the peer with the close
  /// steps still due, or open.
  enum class TState { NoTransport, Closed, CloseDue, Open };
  /// The state of the transport, looked at inside a use without the lock. Any thread.
  TState State();
  /// The state, for the transport AHandler of a TUse of this slot.
  TState StateOf(TIdIOHandler* AHandler) const;
  /// The peer closed the channel (a send or receive took 0 bytes), or a close began here.
  bool PeerClosed() const noexcept { return FPeerClosed.load(); }
  /// A transfer took 0 bytes: the peer closed the channel.
  void SetPeerClosed() noexcept { FPeerClosed.store(true); }

  /// True for the one call that begins the close of the current channel: a transport is held and
  /// open, and no close of it has begun.
  bool BeginClose();
  /// PeerClosed set and the close of the current channel marked as begun, whoever began it.
  void MarkClosed();
  /// MarkClosed, then the transport's CloseIO and nothing else. Any thread.
  void Drop();
  /// The channel is new (the transport was reconnected, the receive state cleared): neither
  /// closed by the peer nor its close begun.
  void ResetClose();

private:
  using TOwned = std::unique_ptr<TIdIOHandler>;

  TOwned SetLocked(TIdIOHandler* AValue) ID_REQUIRES(FLock);
  TOwned DetachLocked() ID_REQUIRES(FLock);
  TOwned ParkOrHandBack(TOwned AHandler) ID_REQUIRES(FLock);
  void FreeParkedIfUnused();

  TComponent& FHolder;
  mutable TMutex FLock;
  // The transport: FOwned, or a borrowed one (cleared on removal notice). Written under FLock; a
  // TUse reads it without.
  std::atomic<TIdIOHandler*> FHandler{nullptr};
  TOwned FOwned ID_GUARDED_BY(FLock);
  bool FOwns ID_GUARDED_BY(FLock) = false;
  TIdIOHandlerSocket* FSocket ID_GUARDED_BY(FLock) = nullptr; // FHandler as a socket transport
  std::atomic<bool> FPeerClosed{false};
  bool FCloseBegun ID_GUARDED_BY(FLock) = false;
  std::atomic<int32_t> FUsers{0};                   // TUse objects alive
  std::vector<TOwned> FParked ID_GUARDED_BY(FLock); // released while in use; the last user frees
  std::atomic<bool> FHasParked{false};
};

} // namespace Id
