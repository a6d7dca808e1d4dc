// SPDX-License-Identifier: MIT
// The server-side transport factory: accepts one client into a ready transport.
#pragma once

#include <memory>

#include "idframework/connection/IdIOHandler.h"
#include "idframework/runtime/Export.h"

namespace Id {

class TIdSocketHandle;
class TIdThread;

/// The abstract server transport. The server calls PrepareServing at each activation; its
/// listener threads call AcceptClient, each on its own thread.
class ID_API TIdServerIOHandler : public TIdComponent {
public:
  /// AOwner (may be nullptr) frees it.
  explicit TIdServerIOHandler(TComponent* AOwner) : TIdComponent(AOwner) {}

  /// Called once per activation, on the thread that activates the server. Base: nothing.
  virtual void PrepareServing();
  /// Accepts one pending client of the listening handle AListener into a new transport owned by
  /// the caller; nullptr when none was accepted. AThread, when given, is the calling listener
  /// thread, whose halted state ends the wait. Base: nullptr.
  virtual std::unique_ptr<TIdIOHandler> AcceptClient(TIdSocketHandle& AListener,
                                                     TIdThread* AThread);
  /// Whether the transports it accepts carry plain text from the first byte, so that a client
  /// the server refuses may be told why in a reply. Base: true. Any thread.
  virtual bool SpeaksPlainTextFirst() const { return true; }
};

} // namespace Id
