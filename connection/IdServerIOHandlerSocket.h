// SPDX-License-Identifier: MIT
// The socket implementation of the server transport factory.
#pragma once

#include "idframework/connection/IdServerIOHandler.h"
#include "idframework/runtime/Export.h"

namespace Id {

class TIdIOHandlerSocket;

/// Accepts clients into new TIdIOHandlerSocket transports.
class ID_API TIdServerIOHandlerSocket : public TIdServerIOHandler {
public:
  /// AOwner (may be nullptr) frees it.
  explicit TIdServerIOHandlerSocket(TComponent* AOwner) : TIdServerIOHandler(AOwner) {}

  /// With AThread: nullptr when AThread is halted; where closing the listening socket wakes an
  /// accept (the BSD stack) accepts at once, elsewhere first waits for AListener to become
  /// readable in steps of 100 ms, returning nullptr as soon as AThread is halted. Without
  /// AThread: accepts at once. Returns an open
  /// TIdIOHandlerSocket owned by the caller, or nullptr when the accept found no connection
  /// (listening socket closed, also during the wait, or the call interrupted). Other accept
  /// failures raise EIdSocketError.
  std::unique_ptr<TIdIOHandler> AcceptClient(TIdSocketHandle& AListener,
                                             TIdThread* AThread) override;

protected:
  /// The transport a client is accepted into: a new, opened TIdIOHandlerSocket. A descendant
  /// may make a derived one. Listener thread.
  virtual std::unique_ptr<TIdIOHandlerSocket> NewClientTransport();
};

} // namespace Id
