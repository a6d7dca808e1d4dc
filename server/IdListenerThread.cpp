#include "server/IdListenerThread.h"

#include <algorithm>
#include <memory>

#include "connection/IdServerIOHandler.h"
#include "core/IdException.h"
#include "core/IdGlobal.h"
#include "core/IdRFCReply.h"
#include "net/IdSocketHandle.h"
#include "server/IdPeerThread.h"
#include "server/IdTCPServer.h"

namespace Id {

namespace {

// The longest single sleep of a back-off, so that a stop request is seen quickly.
constexpr int32_t BackOffSliceMs = 10;

} // namespace

TIdListenerThread::TIdListenerThread(TIdTCPServer* AServer, TIdSocketHandle* ABinding)
    : TIdThread(true), FServer(AServer), FListenBinding(ABinding) {}

TIdListenerThread::~TIdListenerThread() {
  // The run loop uses the server and the binding: it must be over before they may go. Closing
  // the binding wakes it from an accept.
  if (FListenBinding) FListenBinding->CloseDescriptor();
  TerminateWakeAndWait();
}

void TIdListenerThread::RunStep() {
  if (!FServer || !FListenBinding) {
    // Nothing to serve: stop instead of spinning through empty steps.
    StopRunning();
    return;
  }
  try {
    while (AcceptOneClient()) {
    }
    FBackOffMs = 0;
  } catch (const Exception& E) {
    ReportFailure(E);
  } catch (const std::exception& E) {
    // The system refusing a thread (std::system_error) or memory: a failed cycle like any other.
    ReportFailure(Exception(E.what()));
  }
}

void TIdListenerThread::AfterRunPhase() {
  TIdThread::AfterRunPhase();
  if (FListenBinding) FListenBinding->CloseDescriptor();
}

// One client: accepted, paired with a peer thread and started (false), or refused by
// MaxConnections (true: the cycle goes on with the next client). False also when the
// accept found no client because the thread is halted or the listening socket was closed.
bool TIdListenerThread::AcceptOneClient() {
  TIdServerIOHandler* ServerIO = FServer->IOHandler();
  std::unique_ptr<TIdIOHandler> Accepted =
      ServerIO ? ServerIO->AcceptClient(*FListenBinding, this) : nullptr;
  if (!Accepted) {
    StopRunning();
    return false;
  }
  auto Connection = std::make_unique<TIdTCPServerConnection>(FServer);
  Connection->SetIOHandler(std::move(Accepted));
  // Until the peer thread holds them, the connection and its transport go with this frame.
  TIdPeerThread* Peer = AcquirePeerThread();
  bool Refused = false;
  try {
    Peer->SetPeerConnection(std::move(Connection));
    Refused = RefuseOverLimit(*Peer);
    if (!Refused) StartPeer(*Peer);
  } catch (...) {
    ReleasePeer(Peer);
    throw;
  }
  if (Refused) ReleasePeer(Peer);
  return Refused;
}

TIdPeerThread* TIdListenerThread::AcquirePeerThread() {
  TIdThreadMgr* Manager = FServer->ThreadMgr();
  if (!Manager) throw EIdTCPServerError(std::string());
  TIdThread* Thread = Manager->AcquireThread();
  auto* Peer = dynamic_cast<TIdPeerThread*>(Thread);
  if (!Peer) {
    // A thread class that does not make peer threads cannot serve the client.
    Manager->ReturnThread(Thread);
    throw EIdTCPServerError(std::string());
  }
  return Peer;
}

// The limit is tested after the accept: a refused client sees its connection accepted, then
// MaxConnectionReply (when it has content), then the close.
bool TIdListenerThread::RefuseOverLimit(TIdPeerThread& APeer) {
  const int32_t Limit = FServer->MaxConnections();
  if (Limit <= 0 || ListCountBelow(&FServer->PeerThreadList(), Limit)) return false;
  TIdTCPServerConnection* Connection = APeer.PeerConnection();
  Connection->WriteReply(FServer->MaxConnectionReply());
  Connection->CloseConnection();
  return true;
}

void TIdListenerThread::StartPeer(TIdPeerThread& APeer) {
  // Listed before it runs, so that a deactivation that follows sees it and drops its socket.
  FServer->PeerThreadList().Add(&APeer);
  try {
    APeer.StartRunning();
  } catch (...) {
    FServer->LeavePeerThreadList(APeer);
    throw;
  }
}

// Gives back a peer thread that never ran; destroying it frees its connection.
void TIdListenerThread::ReleasePeer(TIdPeerThread* APeer) {
  if (TIdThreadMgr* Manager = FServer->ThreadMgr()) Manager->ReturnThread(APeer);
}

// A failed cycle is reported and the listener goes on. Failures that repeat (the process or the
// system out of descriptors, buffers or threads leaves the client queued, so the next accept
// fails at once) are slowed down by a wait that doubles from BackOffFirstMs up to BackOffMaxMs;
// the wait starts again from nothing after a client was handed over or refused.
void TIdListenerThread::ReportFailure(const Exception& AException) {
  FServer->NotifyListenException(*this, AException);
  FBackOffMs = FBackOffMs == 0 ? BackOffFirstMs : std::min(FBackOffMs * 2, BackOffMaxMs);
  SleepWhileRunning(FBackOffMs);
}

void TIdListenerThread::SleepWhileRunning(int32_t AMilliseconds) {
  while (AMilliseconds > 0 && !IsHalted()) {
    const int32_t Slice = std::min(AMilliseconds, BackOffSliceMs);
    SleepMs(static_cast<uint32_t>(Slice));
    AMilliseconds -= Slice;
  }
}

} // namespace Id
