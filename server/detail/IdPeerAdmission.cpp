// SPDX-License-Identifier: MIT
#include "idframework/server/detail/IdPeerAdmission.h"

#include <memory>

#include "idframework/connection/IdServerIOHandler.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdTCPServer.h"
#include "idframework/server/detail/IdConnectionLimits.h"

namespace Id {

bool AdmitAddress(TIdTCPServer& AServer, TIdTCPServerConnection& AConnection,
                  const std::string& AIP) {
  std::unique_ptr<TIdAddressSlot> Slot;
  const TIdRefusal Why = AServer.ConnectionLimits().TakeAddress(AIP, Slot);
  if (Slot) AConnection.HoldAddressSlot(std::move(Slot));
  AServer.CounterSet().CountRefused(Why);
  return Why == TIdRefusal::rfNone;
}

bool AdmitRelayedClient(TIdTCPServer& AServer, TIdTCPServerConnection& AConnection) {
  if (!AServer.ProxyProtocol() || AServer.MaxConnectionsPerAddress() <= 0) return true;
  if (AdmitAddress(AServer, AConnection, AConnection.ClientIP())) return true;
  RefuseClient(AServer, AConnection);
  return false;
}

void RefuseClient(TIdTCPServer& AServer, TIdTCPServerConnection& AConnection) {
  const TIdServerIOHandler* Transport = AServer.IOHandler();
  if (!Transport || Transport->SpeaksPlainTextFirst())
    AConnection.WriteReply(AServer.MaxConnectionReply());
  AConnection.CloseConnection();
}

void PreparePeerConnection(TIdTCPServer& AServer, TIdTCPServerConnection& AConnection) {
  AConnection.SetTrafficCounters(&AServer.CounterSet().Traffic());
  AConnection.SetLineTimeout(AServer.LineTimeout());
  AConnection.SetIdleTimeout(AServer.IdleTimeout());
  if (AServer.WriteTimeout() > 0) AConnection.SetWriteTimeout(AServer.WriteTimeout());
}

} // namespace Id
