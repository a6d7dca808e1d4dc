#include "connection/IdServerIOHandler.h"

namespace Id {

void TIdServerIOHandler::PrepareServing() {}

std::unique_ptr<TIdIOHandler> TIdServerIOHandler::AcceptClient(TIdSocketDescriptor, TIdThread*) {
  return nullptr;
}

} // namespace Id
