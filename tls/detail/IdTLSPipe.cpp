// SPDX-License-Identifier: MIT
#include "idframework/tls/detail/IdTLSPipe.h"

#include <sys/socket.h>

#include <algorithm>
#include <limits>

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/core/IdException.h"
#include "idframework/net/IdSocketHandle.h"

namespace Id {

int32_t TIdTLSSocketPipe::PipeReceive(void* ABuffer, int32_t ALength) {
  if (FNoWait) return NoBytesNow;
  int32_t Wait = TimeoutInfinite;
  if (FDeadline) {
    const auto Left =
        std::chrono::ceil<std::chrono::milliseconds>(*FDeadline - TClock::now()).count();
    // A limit of 0 still looks once.
    if (Left < 0) return NoBytesNow;
    Wait = static_cast<int32_t>(std::min<int64_t>(Left, std::numeric_limits<int32_t>::max()));
  }
  return TIdIOHandlerSocket::ReceiveWhenReadableOn(FHandle, ABuffer, ALength, Wait)
      .value_or(NoBytesNow);
}

// The closing alert goes out in one send that takes only what the socket can take at once, so a
// close never waits for a peer that does not read.
int32_t TIdTLSSocketPipe::PipeSend(const void* ABuffer, int32_t ALength) {
  if (!FNoWait) return FHandle.SendFrom(ABuffer, ALength, 0);
  try {
    const int32_t Sent = FHandle.SendFrom(ABuffer, ALength, MSG_DONTWAIT);
    return Sent <= 0 ? NoBytesNow : Sent;
  } catch (const EIdException&) {
    return NoBytesNow; // closed meanwhile
  }
}

} // namespace Id
