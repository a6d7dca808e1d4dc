// SPDX-License-Identifier: MIT
#include "idframework/tls/IdServerIOHandlerTLS.h"

#include "idframework/net/IdSocketHandle.h"
#include "idframework/tls/IdTLSExceptions.h"

namespace Id {

TIdServerIOHandlerTLS::TIdServerIOHandlerTLS(TComponent* AOwner)
    : TIdServerIOHandlerSocket(AOwner),
      FContext(std::make_shared<TIdTLSContext>(TIdTLSRole::trServer)) {}

TIdServerIOHandlerTLS::~TIdServerIOHandlerTLS() = default;

void TIdServerIOHandlerTLS::PrepareServing() {
  TIdServerIOHandlerSocket::PrepareServing();
  if (!FContext->HasCertificate()) throw EIdTLSSetupError(RS::RSTLSNoCertificate);
}

// A record is a unit: its last segment must not wait for the acknowledgement of the one before
// (the session tickets before a greeting, a reply of several records), which a peer delays.
// Set here, before the transport is handed on, while no other thread can close the socket.
std::unique_ptr<TIdIOHandler> TIdServerIOHandlerTLS::AcceptClient(TIdSocketHandle& AListener,
                                                                  TIdThread* AThread) {
  std::unique_ptr<TIdIOHandler> Transport =
      TIdServerIOHandlerSocket::AcceptClient(AListener, AThread);
  if (!Transport) return nullptr;
  try {
    static_cast<TIdIOHandlerTLS&>(*Transport)
        .SocketHandle()
        ->SetOption(Id_IPPROTO_TCP, Id_TCP_NODELAY, &OptionTrue, sizeof(OptionTrue));
  } catch (const EIdSocketError&) {
    // A client gone already: its handshake will tell.
  }
  return Transport;
}

std::unique_ptr<TIdIOHandlerSocket> TIdServerIOHandlerTLS::NewClientTransport() {
  auto Transport = std::make_unique<TIdIOHandlerTLS>(nullptr);
  Transport->SetContext(FContext);
  Transport->SetMode(FMode);
  Transport->SetHandshakeTimeout(FHandshakeTimeout);
  Transport->OnHandshakeFailure = OnHandshakeFailure;
  Transport->OpenIO();
  return Transport;
}

} // namespace Id
