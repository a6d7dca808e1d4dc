#include "connection/IdTCPClient.h"

#include <utility>

#include "connection/IdIOHandlerSocket.h"

namespace Id {

TIdTCPClient::TIdTCPClient(TComponent* AOwner)
    : TIdTCPConnection(AOwner), FSocksInfo(std::make_unique<TIdSocksInfo>(nullptr)) {}

TIdTCPClient::~TIdTCPClient() {
  CloseConnection();
}

// The transport joins the connection only once connected, so a failed connect leaves the
// client as it was before: without a transport.
void TIdTCPClient::Connect(const std::string& AHost, int32_t APort, int32_t ATimeout) {
  if (IOHandler()) CloseConnection();
  ClearReceiveState();
  FHost = AHost;
  FPort = APort;
  auto Transport = std::make_unique<TIdIOHandlerSocket>(nullptr);
  Transport->SetSocksInfo(FSocksInfo.get()); // settings without owner are copied
  Transport->OpenIO();
  Transport->ConnectTo(AHost, APort, "", 0, 0, 0, ATimeout);
  SetIOHandler(std::move(Transport));
}

} // namespace Id
