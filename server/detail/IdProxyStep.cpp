// SPDX-License-Identifier: MIT
#include "idframework/server/detail/IdProxyStep.h"

#include "idframework/net/IdStack.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdProxyProtocol.h"
#include "idframework/server/IdTCPServer.h"

namespace Id {

void ReadProxyStep(TIdPeerThread& APeer) {
  TIdTCPServerConnection& Connection = *APeer.PeerConnection();
  TIdTCPServer* Server = Connection.Server();
  if (!Server || !Server->ProxyProtocol()) return;
  const int32_t Limit = Server->ProxyHeaderTimeout();
  try {
    Connection.SetProxyHeader(
        ReadProxyHeader(*Connection.IOHandler(), Limit > 0 ? Limit : TimeoutInfinite));
  } catch (const Exception& E) {
    Server->NotifyPeerException(APeer, E);
    throw;
  }
}

} // namespace Id
