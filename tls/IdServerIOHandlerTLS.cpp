#include "tls/IdServerIOHandlerTLS.h"

#include "tls/IdTLSExceptions.h"

namespace Id {

TIdServerIOHandlerTLS::TIdServerIOHandlerTLS(TComponent* AOwner)
    : TIdServerIOHandlerSocket(AOwner),
      FContext(std::make_shared<TIdTLSContext>(TIdTLSRole::trServer)) {}

TIdServerIOHandlerTLS::~TIdServerIOHandlerTLS() = default;

void TIdServerIOHandlerTLS::PrepareServing() {
  TIdServerIOHandlerSocket::PrepareServing();
  if (!FContext->HasCertificate()) throw EIdTLSSetupError(RS::RSTLSNoCertificate);
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
