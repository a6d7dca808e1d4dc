// SPDX-License-Identifier: MIT
// Interceptors: a chain of observers and transformers between a connection's buffers and its
// transport, and the server-side factory that gives each accepted connection its own.
#pragma once

#include <functional>

#include "idframework/core/IdBaseComponent.h"
#include "idframework/runtime/Export.h"
#include "idframework/runtime/Stream.h"

namespace Id {

class TIdConnectionIntercept;
class TIdTCPConnection;

using TIdInterceptNotifyEvent = std::function<void(TIdConnectionIntercept* ASender)>;
/// AStream holds exactly the bytes of one receive or send, positioned at 0; the handler may read,
/// rewrite, grow or shrink it.
using TIdInterceptStreamEvent =
    std::function<void(TIdConnectionIntercept* ASender, TStream& AStream)>;

/// One link of an intercept chain. The outermost link is closest to the application, the nested
/// one closer to the wire: sending runs outer then inner, receiving inner then outer. Runs on the
/// thread that performs the connection's I/O (or closes it); no locking, so one intercept serves
/// one connection at a time. The connection does not own it; whoever created it frees it.
class ID_API TIdConnectionIntercept : public TIdBaseComponent {
public:
  /// Not attached to a connection; AOwner (may be nullptr) frees it.
  explicit TIdConnectionIntercept(TComponent* AOwner);
  ~TIdConnectionIntercept() override;

  /// The connection being served, set by InterceptConnect and cleared by InterceptDisconnect.
  TIdTCPConnection* AttachedConnection() const noexcept { return FAttachedConnection; }
  /// The next link towards the wire; cleared when that component is destroyed.
  TIdConnectionIntercept* NestedIntercept() const noexcept { return FNestedIntercept; }
  /// Not owned: registers for the value's removal notice.
  void SetNestedIntercept(TIdConnectionIntercept* AValue);
  /// True after construction; nothing in the framework reads it.
  bool ClientSide() const noexcept { return FClientSide; }
  void SetClientSide(bool AValue) noexcept { FClientSide = AValue; }

  /// Raised by InterceptConnect before the nested link is told.
  TIdInterceptNotifyEvent OnConnect;
  /// Raised by InterceptDisconnect after the nested link was told.
  TIdInterceptNotifyEvent OnDisconnect;
  /// Sees received bytes after the nested link has turned them back.
  TIdInterceptStreamEvent OnReceive;
  /// Sees bytes about to be sent, before the nested link.
  TIdInterceptStreamEvent OnSend;

  /// Attaches AConnection, raises OnConnect, then passes on to the nested link.
  virtual void InterceptConnect(TIdTCPConnection* AConnection);
  /// Passes on first, then raises OnDisconnect, then detaches. An exception from OnDisconnect
  /// leaves the connection attached.
  virtual void InterceptDisconnect();
  /// Nested link first, then OnReceive (buffer repositioned to 0 after it).
  virtual void InterceptReceive(TStream& ABuffer);
  /// OnSend first (buffer repositioned to 0 after it), then the nested link.
  virtual void InterceptSend(TStream& ABuffer);

  void Notification(TComponent* AComponent, TOperation AOperation) override;

protected:
  /// Pass the event on to the nested intercept, if any.
  virtual void PassConnect(TIdTCPConnection* AConnection);
  virtual void PassDisconnect();
  virtual void PassReceive(TStream& ABuffer);
  virtual void PassSend(TStream& ABuffer);

private:
  TIdTCPConnection* FAttachedConnection = nullptr;    // not owned
  TIdConnectionIntercept* FNestedIntercept = nullptr; // not owned; cleared on removal notice
  bool FClientSide = true;
};

/// The server-side factory of connection intercepts: one per accepted connection.
class ID_API TIdServerIntercept : public TIdBaseComponent {
public:
  /// AOwner (may be nullptr) frees it.
  explicit TIdServerIntercept(TComponent* AOwner) : TIdBaseComponent(AOwner) {}

  /// A hook for implementations; nothing in the framework calls it.
  virtual void PrepareIntercept() = 0;
  /// The intercept for one accepted connection, called once per connection on its peer thread.
  /// The implementation keeps ownership (for example as an owned component) and frees it.
  virtual TIdConnectionIntercept* AcceptConnection(TIdTCPConnection* AConnection) = 0;
};

} // namespace Id
