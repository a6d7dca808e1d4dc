#include "server/IdPeerThread.h"

#include "connection/IdIntercept.h"
#include "core/IdException.h"
#include "net/IdStack.h"
#include "server/IdTCPServer.h"

namespace Id {

TIdTCPServerConnection::TIdTCPServerConnection(TIdTCPServer* AServer)
    : TIdTCPConnection(nullptr), FServer(AServer) {}

TIdPeerThread::TIdPeerThread(bool ACreateSuspended) : TIdThread(ACreateSuspended) {}

TIdPeerThread::~TIdPeerThread() {
  // The run loop uses the connection: it must be over before the connection goes.
  TerminateWakeAndWait();
}

void TIdPeerThread::SetPeerConnection(std::unique_ptr<TIdTCPServerConnection> AValue) {
  FPeerConnection = std::move(AValue);
}

void TIdPeerThread::CompleteAccept() {
  try {
    TIdIOHandler* Handler = FPeerConnection ? FPeerConnection->IOHandler() : nullptr;
    if (!Handler) throw EIdTCPServerError(std::string());
    Handler->AcceptCompleted();
  } catch (...) {
    RequestTerminate();
    throw;
  }
}

void TIdPeerThread::BeforeRunPhase() {
  CompleteAccept();
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
  if (FPeerConnection && FPeerConnection->Server())
    FPeerConnection->Server()->HandleDisconnect(*this);
}

void TIdPeerThread::ReleaseData() {
  TIdThread::ReleaseData();
  if (!FPeerConnection) return;
  TIdTCPServer* Server = FPeerConnection->Server();
  // The connection goes while the thread is still listed, so a deactivation, which waits for
  // the list to empty, also waits for it: nothing the connection refers to (an intercept, say)
  // is freed under it. It leaves the server's reach under the list's lock, under which the
  // server closes transports.
  std::unique_ptr<TIdTCPServerConnection> Connection;
  if (Server) {
    TLockedList Peers(Server->PeerThreadList());
    Connection = std::move(FPeerConnection);
  } else {
    Connection = std::move(FPeerConnection);
  }
  Connection.reset();
  if (Server) Server->ReleasePeerThread(*this);
}

} // namespace Id
