// SPDX-License-Identifier: MIT
#include "idframework/server/IdListenerThread.h"

#include <algorithm>
#include <memory>
#include <system_error>

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/connection/IdServerIOHandler.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdGlobal.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdTCPServer.h"
#include "idframework/server/detail/IdConnectionLimits.h"
#include "idframework/server/detail/IdPeerAdmission.h"
#include "idframework/server/detail/IdPeerRegistry.h"

namespace Id {

namespace {

// The longest single sleep of a back-off, so that a stop request is seen quickly.
constexpr int32_t BackOffSliceMs = 10;

} // namespace

// The reserve is taken at once, so that it is part of what an activation opens.
TIdListenerThread::TIdListenerThread(TIdTCPServer* AServer, TIdSocketHandle* ABinding)
    : TIdThread(true), FServer(AServer), FListenBinding(ABinding) {
  TakeReserve();
}

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
  if (!FReserve.IsAllocated()) TakeReserve();
  try {
    while (AcceptOneClient()) {
    }
    FBackOffMs = 0;
    FShortageReported = false;
  } catch (const EIdSocketError& E) {
    if (!RefuseWithReserve(E)) ReportFailure(E);
  } catch (const Exception& E) {
    ReportFailure(E);
  } catch (const std::exception& E) {
    // Memory, say: a failed cycle like any other.
    ReportFailure(Exception(E.what()));
  }
}

void TIdListenerThread::AfterRunPhase() {
  TIdThread::AfterRunPhase();
  if (FListenBinding) FListenBinding->CloseDescriptor();
  FReserve.CloseDescriptor();
}

// Any socket serves as the reserve: it is only ever closed to free its number.
void TIdListenerThread::TakeReserve() {
  try {
    FReserve.OpenSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
  } catch (const Exception&) {
    // None to be had now: the next cycle tries again.
  }
}

// Out of descriptors: the waiting client is accepted with the reserve's number, refused and
// closed, and the reserve is taken back. A client that came while descriptors came free again
// (the reserve can be taken back beside it) is served instead. True when a client was taken so
// (the caller goes on at once); false when there is no reserve or the number went elsewhere
// meanwhile (the caller backs off).
bool TIdListenerThread::RefuseWithReserve(const EIdSocketError& AError) {
  if (AError.SocketErrorCode() != WSA::EMFILE_ || !FReserve.IsAllocated()) return false;
  if (!FShortageReported) FServer->NotifyListenException(*this, AError);
  FShortageReported = true;
  FReserve.CloseDescriptor();
  bool Taken = false;
  try {
    TIdServerIOHandler* ServerIO = FServer->IOHandler();
    std::unique_ptr<TIdIOHandler> Accepted =
        ServerIO ? ServerIO->AcceptClient(*FListenBinding, this) : nullptr;
    Taken = Accepted != nullptr;
    TakeReserve();
    if (Accepted && FReserve.IsAllocated()) {
      FShortageReported = false;
      ServeAccepted(std::move(Accepted));
    } else if (Accepted) {
      RefuseForWantOfDescriptors(std::move(Accepted));
    }
  } catch (const Exception&) {
    // Taken is as far as it got.
  }
  if (!FReserve.IsAllocated()) TakeReserve();
  return Taken;
}

void TIdListenerThread::RefuseForWantOfDescriptors(std::unique_ptr<TIdIOHandler> AAccepted) {
  FServer->CounterSet().CountAccepted();
  FServer->CounterSet().CountRefused(TIdRefusal::rfResources);
  TIdTCPServerConnection Connection(FServer);
  Connection.SetIOHandler(std::move(AAccepted));
  Refuse(Connection);
}

// One client: accepted, paired with a peer thread and started (false), or refused (true: the
// cycle goes on with the next client) by MaxConnections or because no thread could be made for
// it. False also when the accept found no client because the thread is halted or the listening
// socket was closed.
bool TIdListenerThread::AcceptOneClient() {
  TIdServerIOHandler* ServerIO = FServer->IOHandler();
  std::unique_ptr<TIdIOHandler> Accepted =
      ServerIO ? ServerIO->AcceptClient(*FListenBinding, this) : nullptr;
  if (!Accepted) {
    StopRunning();
    return false;
  }
  return ServeAccepted(std::move(Accepted));
}

// The accepted client paired with a peer thread and started (false), or refused (true).
bool TIdListenerThread::ServeAccepted(std::unique_ptr<TIdIOHandler> AAccepted) {
  FServer->CounterSet().CountAccepted();
  auto Connection = std::make_unique<TIdTCPServerConnection>(FServer);
  Connection->SetIOHandler(std::move(AAccepted));
  // Until the peer thread holds them, the connection and its transport go with this frame.
  TIdPeerThread* Peer = nullptr;
  try {
    Peer = AcquirePeerThread();
  } catch (const std::system_error& E) {
    RefuseWithoutThread(*Connection, E);
    return true;
  }
  bool Refused = false;
  try {
    Peer->SetPeerConnection(std::move(Connection));
    Refused = RefuseOverLimit(*Peer) || !StartPeer(*Peer);
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

// The limits are tested after the accept: a refused client sees its connection accepted, then
// MaxConnectionReply (when it has content), then the close. First the count (MaxConnections, or
// the machine's cap without it), then the client's address.
bool TIdListenerThread::RefuseOverLimit(TIdPeerThread& APeer) {
  TIdTCPServerConnection& Connection = *APeer.PeerConnection();
  const TIdRefusal Why = FServer->ConnectionLimits().AdmitCount(FServer->PeerRegistry().Count());
  FServer->CounterSet().CountRefused(Why);
  if (Why == TIdRefusal::rfNone && AdmitAddressAtAccept(Connection)) return false;
  Refuse(Connection);
  return true;
}

// The per-address limit counts the address the socket was accepted from. A server that reads
// the real client's address from a PROXY header skips this: its peer thread admits the client
// once the header named it (AdmitRelayedClient, server/detail/IdPeerAdmission.h).
bool TIdListenerThread::AdmitAddressAtAccept(TIdTCPServerConnection& AConnection) {
  if (FServer->MaxConnectionsPerAddress() <= 0 || FServer->ProxyProtocol()) return true;
  const TIdIOHandlerSocket* Socket = AConnection.SocketTransport();
  const TIdSocketHandle* Handle = Socket ? Socket->SocketHandle() : nullptr;
  return !Handle || AdmitAddress(*FServer, AConnection, Handle->RemoteIP());
}

void TIdListenerThread::Refuse(TIdTCPServerConnection& AConnection) {
  RefuseClient(*FServer, AConnection);
}

// The system has no thread (or no memory for one) for this client: it is refused as if over the
// limit, which tells it at once, and the listener goes on without waiting, since the failure
// took nothing from the backlog. The next client may find a thread again.
void TIdListenerThread::RefuseWithoutThread(TIdTCPServerConnection& AConnection,
                                            const std::system_error& AError) {
  FServer->CounterSet().CountRefused(TIdRefusal::rfResources);
  FServer->NotifyListenException(*this, MakeCouldNotCreateThread(AError.code().message()));
  Refuse(AConnection);
}

// False when no thread could be made for the peer: the client was refused.
bool TIdListenerThread::StartPeer(TIdPeerThread& APeer) {
  // Listed before it runs, so that a deactivation that follows sees it and drops its socket.
  FServer->PeerRegistry().Add(APeer);
  try {
    APeer.StartRunning();
    return true;
  } catch (const std::system_error& E) {
    FServer->PeerRegistry().Remove(APeer);
    RefuseWithoutThread(*APeer.PeerConnection(), E);
  } catch (...) {
    FServer->PeerRegistry().Remove(APeer);
    throw;
  }
  return false;
}

// Gives back a peer thread that never ran; destroying it frees its connection.
void TIdListenerThread::ReleasePeer(TIdPeerThread* APeer) {
  if (TIdThreadMgr* Manager = FServer->ThreadMgr()) Manager->ReturnThread(APeer);
}

// A failed cycle is reported and the listener goes on. Failures that repeat (the process or the
// system out of descriptors or buffers leaves the client queued, so the next accept fails at
// once) are slowed down by a wait that doubles from BackOffFirstMs up to BackOffMaxMs;
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
