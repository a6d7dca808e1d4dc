// SPDX-License-Identifier: MIT
#include "idframework/tls/IdTLSClient.h"

#include "idframework/connection/IdTCPClient.h"
#include "idframework/tls/IdIOHandlerTLS.h"
#include "idframework/tls/IdTLSExceptions.h"

namespace Id {

TIdTLSContext& UseTLS(TIdTCPClient& AClient, std::shared_ptr<TIdTLSContext> AContext) {
  if (!AContext) AContext = std::make_shared<TIdTLSContext>(TIdTLSRole::trClient);
  if (AContext->Role() != TIdTLSRole::trClient)
    throw EIdTLSSetupError(Format(RS::RSTLSClientRoleOnly, {std::string("UseTLS")}));
  AClient.SetTransportFactory([AContext]() -> std::unique_ptr<TIdIOHandlerSocket> {
    auto Transport = std::make_unique<TIdIOHandlerTLS>(nullptr);
    Transport->SetContext(AContext);
    return Transport;
  });
  return *AContext;
}

} // namespace Id
