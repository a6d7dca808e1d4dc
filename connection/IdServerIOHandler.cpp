// SPDX-License-Identifier: MIT
#include "idframework/connection/IdServerIOHandler.h"

namespace Id {

void TIdServerIOHandler::PrepareServing() {}

std::unique_ptr<TIdIOHandler> TIdServerIOHandler::AcceptClient(TIdSocketHandle&, TIdThread*) {
  return nullptr;
}

} // namespace Id
