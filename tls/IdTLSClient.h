// SPDX-License-Identifier: MIT
// A client connection over TLS in one call: the transport factory of a TIdTCPClient.
#pragma once

#include <memory>

#include "idframework/runtime/Export.h"
#include "idframework/tls/IdTLSContext.h"

namespace Id {

class TIdTCPClient;

/// Makes every later Connect of AClient that finds no transport set a TLS connect: its
/// transports are TIdIOHandlerTLS in implicit mode sharing AContext, which must be a client
/// context; without one, a new client context (TLS 1.2 at least; the server's certificate
/// checked against the system's roots and the host given to Connect). Returns the context, to
/// be configured before the Connect (LoadTrustFile, a client certificate, ALPN):
///
///     UseTLS(Client).LoadTrustFile("ca.pem");
///     Client.Connect("example.org", 443, 5000);
///
/// Raises EIdTLSSetupError for a server context, or when OpenSSL cannot make one.
///
/// \see The guide: \ref guide-tls-client.
ID_API TIdTLSContext& UseTLS(TIdTCPClient& AClient,
                             std::shared_ptr<TIdTLSContext> AContext = nullptr);

} // namespace Id
