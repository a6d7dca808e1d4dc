// SPDX-License-Identifier: MIT
#include "idframework/tls/IdStartTLS.h"

#include "idframework/connection/IdTCPConnection.h"
#include "idframework/runtime/SysUtils.h"
#include "idframework/tls/IdIOHandlerTLS.h"
#include "idframework/tls/IdTLSExceptions.h"

namespace Id {

void StartTLS(TIdTCPConnection& AConnection) {
  auto* Transport = dynamic_cast<TIdIOHandlerTLS*>(AConnection.IOHandler());
  if (!Transport) throw EIdTLSStartRefused(RS::RSTLSNotATLSTransport);
  if (Transport->TLSActive()) throw EIdTLSStartRefused(RS::RSTLSAlreadyOn);
  const auto Unread = static_cast<int64_t>(AConnection.PendingInput().UnreadCount());
  if (Unread != 0) {
    AConnection.CloseConnection();
    throw EIdTLSStartRefused(Format(RS::RSTLSUnreadPlainInput, {Unread}));
  }
  Transport->StartTLS();
}

} // namespace Id
