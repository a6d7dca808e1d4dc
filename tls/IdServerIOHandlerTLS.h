// SPDX-License-Identifier: MIT
// The server side of TLS: accepts every client into a TLS transport that shares the server's
// context and runs its handshake on the client's peer thread.
#pragma once

#include <memory>

#include "idframework/connection/IdServerIOHandlerSocket.h"
#include "idframework/runtime/Export.h"
#include "idframework/tls/IdIOHandlerTLS.h"
#include "idframework/tls/IdTLSContext.h"

namespace Id {

/// A TIdServerIOHandlerSocket whose clients are TIdIOHandlerTLS transports. In implicit mode the
/// handshake runs in AcceptCompleted, on the peer thread, before the greeting and OnConnect,
/// under HandshakeTimeout; a client that fails it (or is too slow) ends its peer thread through
/// the thread's usual exception path, without OnConnect. In explicit mode clients start plain
/// and switch with StartTLS (IdStartTLS.h).
///
/// Threads: configure it (and its Context) before the server is activated; listener threads
/// read it afterwards.
///
/// \see The guide: \ref guide-tls-server, \ref guide-starttls.
class ID_API TIdServerIOHandlerTLS : public TIdServerIOHandlerSocket {
public:
  /// A server context (TIdTLSRole::trServer) without certificate, implicit mode, 5000 ms limit.
  explicit TIdServerIOHandlerTLS(TComponent* AOwner);
  ~TIdServerIOHandlerTLS() override;

  /// The server's context: give it the certificate chain and key here. Owned, and shared with
  /// every accepted transport (which may outlive this handler).
  TIdTLSContext& Context() noexcept { return *FContext; }
  /// The mode of the accepted transports, and its setter.
  TIdTLSMode Mode() const noexcept { return FMode; }
  void SetMode(TIdTLSMode AValue) noexcept { FMode = AValue; }
  /// The most a client's handshake may take, in ms; 0 or less: no limit. Default 5000.
  int32_t HandshakeTimeout() const noexcept { return FHandshakeTimeout; }
  void SetHandshakeTimeout(int32_t AValue) noexcept { FHandshakeTimeout = AValue; }
  /// Given to every accepted transport: fired on the peer thread when a handshake fails.
  TIdTLSHandshakeFailureEvent OnHandshakeFailure;

  /// Called at activation: raises EIdTLSSetupError when the context has no certificate and key.
  void PrepareServing() override;
  /// As TIdServerIOHandlerSocket, into a TIdIOHandlerTLS whose socket sends without delay.
  std::unique_ptr<TIdIOHandler> AcceptClient(TIdSocketHandle& AListener,
                                             TIdThread* AThread) override;
  /// False in implicit mode: a client that waits for the server's handshake message must never
  /// read plain text, so a refused client is closed without a word. True in explicit mode.
  bool SpeaksPlainTextFirst() const override { return FMode == TIdTLSMode::tmExplicit; }

protected:
  /// A new, opened TIdIOHandlerTLS set up from this handler. Listener thread.
  std::unique_ptr<TIdIOHandlerSocket> NewClientTransport() override;

private:
  std::shared_ptr<TIdTLSContext> FContext; // shared with the accepted transports
  TIdTLSMode FMode = TIdTLSMode::tmImplicit;
  int32_t FHandshakeTimeout = 5000;
};

} // namespace Id
