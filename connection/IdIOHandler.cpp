// SPDX-License-Identifier: MIT
#include "idframework/connection/IdIOHandler.h"

namespace Id {

TIdIOHandler::TIdIOHandler(TComponent* AOwner) : TIdComponent(AOwner) {}

TIdIOHandler::~TIdIOHandler() {
  TIdIOHandler::CloseIO();
}

void TIdIOHandler::AcceptCompleted() {}

void TIdIOHandler::SetSendTimeout(int32_t) {}

void TIdIOHandler::CloseIO() {}

void TIdIOHandler::ConnectTo(const std::string&, int32_t, const std::string&, int32_t, int32_t,
                             int32_t, int32_t) {}

void TIdIOHandler::OpenIO() {}

std::optional<int32_t> TIdIOHandler::ReceiveWhenReadable(void* ABuffer, int32_t ALength,
                                                         int32_t ATimeout) {
  if (!AwaitReadable(ATimeout)) return std::nullopt;
  return ReceiveBytes(ABuffer, ALength);
}

} // namespace Id
