#include "connection/IdIOHandler.h"

namespace Id {

TIdIOHandler::TIdIOHandler(TComponent* AOwner) : TIdComponent(AOwner) {}

TIdIOHandler::~TIdIOHandler() {
  TIdIOHandler::CloseIO();
}

void TIdIOHandler::AcceptCompleted() {}

void TIdIOHandler::CloseIO() {}

void TIdIOHandler::ConnectTo(const std::string&, int32_t, const std::string&, int32_t, int32_t,
                             int32_t, int32_t) {}

void TIdIOHandler::OpenIO() {}

} // namespace Id
