// SPDX-License-Identifier: MIT
#include "idframework/connection/IdTCPClient.h"

#include <atomic>
#include <utility>

namespace Id {

// The transport the client made last, as long as it lives. Told by its removal notice when it
// goes, whoever frees it and on whichever thread, so that a transport the caller sets later at
// the same address is never taken for it.
class TIdTCPClient::TMadeTransport final : public TComponent {
public:
  TMadeTransport() : TComponent(nullptr) {}

  void Remember(TIdIOHandler* ATransport) {
    FTransport.store(ATransport);
    FreeNotification(ATransport);
  }
  bool Is(const TIdIOHandler* ATransport) const noexcept {
    return ATransport && static_cast<const TComponent*>(ATransport) == FTransport.load();
  }
  void Notification(TComponent* AComponent, TOperation AOperation) override {
    TComponent::Notification(AComponent, AOperation);
    if (AOperation == TOperation::opRemove) FTransport.compare_exchange_strong(AComponent, nullptr);
  }

private:
  std::atomic<TComponent*> FTransport{nullptr}; // compared only, never used
};

TIdTCPClient::TIdTCPClient(TComponent* AOwner)
    : TIdTCPConnection(AOwner), FSocksInfo(std::make_unique<TIdSocksInfo>(nullptr)),
      FMade(std::make_unique<TMadeTransport>()) {}

// A transport taken over goes last, after the connection let go of it.
TIdTCPClient::~TIdTCPClient() {
  CloseConnection();
  if (FGiven && IOHandler() == FGiven.get()) SetIOHandler(nullptr);
}

void TIdTCPClient::Connect(const std::string& AHost, int32_t APort, int32_t ATimeout) {
  TIdIOHandler* const Given = KeepGivenTransport();
  if (IOHandler()) CloseConnection();
  ClearReceiveState();
  FHost = AHost;
  FPort = APort;
  if (!Given) {
    ConnectNewTransport(ATimeout);
    return;
  }
  Given->OpenIO();
  Given->ConnectTo(AHost, APort, "", 0, 0, 0, ATimeout);
}

// The transport the caller set, if any (not one the client made), taken over when the
// connection owns it so that the close before the connect, and every later one, keeps it. A
// transport taken over earlier and since replaced by the caller is freed.
TIdIOHandler* TIdTCPClient::KeepGivenTransport() {
  TIdIOHandler* const Current = IOHandler();
  if (FGiven.get() != Current) FGiven.reset();
  if (!Current || FMade->Is(Current)) return nullptr;
  if (OwnsIOHandler()) {
    SetOwnsIOHandler(false);
    FGiven.reset(Current);
  }
  return Current;
}

// The transport joins the connection only once connected, so a failed connect leaves the
// client as it was before: without a transport.
void TIdTCPClient::ConnectNewTransport(int32_t ATimeout) {
  std::unique_ptr<TIdIOHandlerSocket> Transport =
      FTransportFactory ? FTransportFactory() : std::make_unique<TIdIOHandlerSocket>(nullptr);
  if (!Transport) throw EIdNotConnected();
  Transport->SetSocksInfo(FSocksInfo.get()); // settings without owner are copied
  Transport->SetIPVersions(FIPVersions);
  Transport->OpenIO();
  Transport->ConnectTo(FHost, FPort, "", 0, 0, 0, ATimeout);
  FMade->Remember(Transport.get());
  SetIOHandler(std::move(Transport));
}

} // namespace Id
