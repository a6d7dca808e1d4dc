// SPDX-License-Identifier: MIT
#include "idframework/server/IdPeerThread.h"

#include <utility>

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/connection/IdIntercept.h"
#include "idframework/core/IdException.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/net/IdStack.h"
#include "idframework/server/IdProxyProtocol.h"
#include "idframework/server/IdTCPServer.h"
#include "idframework/server/detail/IdConnectionLimits.h"
#include "idframework/server/detail/IdPeerAdmission.h"
#include "idframework/server/detail/IdPeerRegistry.h"
#include "idframework/server/detail/IdProxyStep.h"

namespace Id {

namespace {

const std::string NoAddress;

} // namespace

TIdTCPServerConnection::TIdTCPServerConnection(TIdTCPServer* AServer)
    : TIdTCPConnection(nullptr), FServer(AServer) {}

TIdTCPServerConnection::~TIdTCPServerConnection() = default;

void TIdTCPServerConnection::HoldAddressSlot(std::unique_ptr<TIdAddressSlot> ASlot) {
  FAddressSlot = std::move(ASlot);
}

void TIdTCPServerConnection::SetProxyHeader(const TIdProxyHeader& AValue) {
  FProxyHeader = std::make_unique<TIdProxyHeader>(AValue);
}

const TIdSocketHandle* TIdTCPServerConnection::Socket() const {
  const TIdIOHandlerSocket* Transport = SocketTransport();
  return Transport ? Transport->SocketHandle() : nullptr;
}

// A header of a health check (LOCAL, UNKNOWN, AF_UNSPEC) names no client: the balancer itself is
// the peer then.
bool TIdTCPServerConnection::Relayed() const noexcept {
  return FProxyHeader && FProxyHeader->HasAddresses();
}

const std::string& TIdTCPServerConnection::ClientIP() const {
  if (Relayed()) return FProxyHeader->SourceIP;
  const TIdSocketHandle* Handle = Socket();
  return Handle ? Handle->RemoteIP() : NoAddress;
}

int32_t TIdTCPServerConnection::ClientPort() const {
  if (Relayed()) return FProxyHeader->SourcePort;
  const TIdSocketHandle* Handle = Socket();
  return Handle ? Handle->RemotePort() : 0;
}

const std::string& TIdTCPServerConnection::DestinationIP() const {
  if (Relayed()) return FProxyHeader->DestinationIP;
  const TIdSocketHandle* Handle = Socket();
  return Handle ? Handle->IP() : NoAddress;
}

int32_t TIdTCPServerConnection::DestinationPort() const {
  if (Relayed()) return FProxyHeader->DestinationPort;
  const TIdSocketHandle* Handle = Socket();
  return Handle ? Handle->Port() : 0;
}

TIdPeerThread::TIdPeerThread(bool ACreateSuspended) : TIdThread(ACreateSuspended) {}

TIdPeerThread::~TIdPeerThread() {
  // The run loop uses the connection: it must be over before the connection goes.
  TerminateWakeAndWait();
}

void TIdPeerThread::SetPeerConnection(std::unique_ptr<TIdTCPServerConnection> AValue) {
  FPeerConnection = std::move(AValue);
}

// The server's settings for peers first, so that they bound the PROXY header and the transport's
// accept step (a TLS handshake) too; a failed handshake is counted as a refusal. False when the
// client the header names was refused under MaxConnectionsPerAddress.
bool TIdPeerThread::CompleteAccept() {
  try {
    TIdIOHandler* Handler = FPeerConnection ? FPeerConnection->IOHandler() : nullptr;
    if (!Handler) throw EIdTCPServerError(std::string());
    TIdTCPServer* Server = FPeerConnection->Server();
    if (Server) PreparePeerConnection(*Server, *FPeerConnection);
    ReadProxyStep(*this); // before a TLS handshake: the balancer's header comes first
    if (Server && !AdmitRelayedClient(*Server, *FPeerConnection)) return false;
    try {
      Handler->AcceptCompleted();
    } catch (...) {
      if (Server) Server->CounterSet().CountRefused(TIdRefusal::rfHandshake);
      throw;
    }
  } catch (...) {
    RequestTerminate(); // the failure ends the thread: it is not undone
    throw;
  }
  return true;
}

void TIdPeerThread::BeforeRunPhase() {
  FRefused = !CompleteAccept();
  if (FRefused) {
    StopRunning();
    return;
  }
  TIdTCPServer* Server = FPeerConnection->Server();
  if (!Server) return;
  if (TIdServerIntercept* Intercept = Server->Intercept())
    FPeerConnection->SetIntercept(Intercept->AcceptConnection(FPeerConnection.get()));
  Server->HandleConnect(*this);
  if (!FPeerConnection->IsConnected()) StopRunning();
}

void TIdPeerThread::ExecuteStep(TIdTCPServer& AServer) {
  try {
    if (!AServer.HandleExecute(*this)) throw EIdNoExecuteSpecified();
  } catch (const EIdSocketError& E) {
    AServer.NotifyPeerException(*this, E);
    const int32_t Code = E.SocketErrorCode();
    if (Code == WSA::ECONNABORTED_ || Code == WSA::ECONNRESET_) FPeerConnection->CloseConnection();
  } catch (const EIdClosedSocket& E) {
    AServer.NotifyPeerException(*this, E);
  } catch (const EIdConnClosedGracefully& E) {
    AServer.NotifyPeerException(*this, E);
  }
}

void TIdPeerThread::RunStep() {
  TIdTCPServer* Server = FPeerConnection ? FPeerConnection->Server() : nullptr;
  if (!Server) {
    StopRunning();
    return;
  }
  try {
    ExecuteStep(*Server);
    if (!FPeerConnection->IsConnected()) StopRunning();
  } catch (const Exception& E) {
    // Reported here, then the run loop ends the thread with it.
    Server->NotifyPeerException(*this, E);
    throw;
  } catch (const std::exception& E) {
    Server->NotifyPeerException(*this, Exception(E.what()));
    throw;
  }
}

void TIdPeerThread::AfterRunPhase() {
  if (!FRefused && FPeerConnection && FPeerConnection->Server())
    FPeerConnection->Server()->HandleDisconnect(*this);
}

// The connection goes while the thread is still listed, so a deactivation, which waits for the
// registry to empty, also waits for it: nothing the connection refers to (an intercept, say) is
// freed under it.
void TIdPeerThread::ReleaseData() {
  TIdThread::ReleaseData();
  if (!FPeerConnection) return;
  TIdPeerRegistry* Registry = std::exchange(FRegistry, nullptr);
  if (Registry) Registry->Retire(*this);
  FPeerConnection.reset();
  if (Registry) Registry->Leave(*this);
}

} // namespace Id
