// SPDX-License-Identifier: MIT
#include "idframework/server/IdTCPServer.h"

#include <algorithm>

#include "idframework/connection/IdIntercept.h"
#include "idframework/connection/IdServerIOHandlerSocket.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/runtime/ScopeExit.h"
#include "idframework/server/IdCommandHandlers.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/detail/IdActivatedBindings.h"
#include "idframework/server/detail/IdConnectionLimits.h"
#include "idframework/server/detail/IdListeners.h"
#include "idframework/server/detail/IdPeerRegistry.h"
#include "idframework/server/detail/IdServiceNotifier.h"
#include "idframework/threads/IdThreadMgrDefault.h"

namespace Id {

namespace {

// Deactivation's wait for the peer threads lasts whole steps of this length.
constexpr int32_t TerminateWaitStepMs = 250;

// Out of line, so that the destructor states its one fatal case without a throw of its own.
[[noreturn]] void RaiseDestroyedByOwnPeer() {
  throw EIdTCPServerError(RS::RSServerDestroyedOnOwnPeer);
}

} // namespace

// Construction and destruction ----------------------------------------------------------------

TIdTCPServer::TIdTCPServer(TComponent* AOwner)
    : TIdComponent(AOwner), FBindings(std::make_unique<TIdSocketHandles>(this)),
      FCommandHandlers(std::make_unique<TIdCommandHandlers>(this)),
      FGreeting(std::make_unique<TIdRFCReply>()),
      FMaxConnectionReply(std::make_unique<TIdRFCReply>()),
      FReplyTexts(std::make_unique<TIdRFCReplies>(this)),
      FReplyUnknownCommand(std::make_unique<TIdRFCReply>()),
      FPeerThreadClass(IdThreadClassOf<TIdPeerThread>()),
      FPeers(std::make_unique<TIdPeerRegistry>([this] { return CurrentThreadMgr(); })),
      FLimits(std::make_unique<TIdConnectionLimits>()),
      FListeners(std::make_unique<TIdListeners>()) {}

TIdTCPServer::~TIdTCPServer() {
  if (FPeers->Caller()) RaiseDestroyedByOwnPeer();
  try {
    SetActive(false);
  } catch (...) {
    // A timeout is not the end of it, see below.
  }
  // Peer threads still use the server (its events, lists and manager) until they end: those
  // that outlived TerminateWaitTime (or a rolled-back activation) are waited for.
  WaitForPeerThreadsWithoutLimit();
  SetIOHandler(nullptr);
  SetThreadMgr(nullptr);
}

// Activation and deactivation -------------------------------------------------------------------

void TIdTCPServer::SetActive(bool AValue) {
  // A stored Active waits for Loaded.
  if (IsDesigning() || AValue == FActive || IsLoading()) {
    FActive = AValue;
    return;
  }
  if (AValue)
    Activate();
  else
    Deactivate();
  FActive = AValue;
}

void TIdTCPServer::Loaded() {
  TIdComponent::Loaded();
  if (FActive) {
    FActive = false;
    SetActive(true);
  }
}

void TIdTCPServer::Activate() {
  PrepareActivation();
  try {
    BindAll();
    FListeners->Start(*this, *FBindings, FListenQueue);
  } catch (...) {
    RollBackActivation();
    throw;
  }
  TellStarted();
}

// Everything before the first socket: handlers, the default binding, the thread manager and
// its thread class, the I/O handler, reply texts.
void TIdTCPServer::PrepareActivation() {
  if (!FHandlersPrepared) {
    FHandlersPrepared = true;
    PrepareCommandHandlers();
  }
  if (FBindings->Count() == 0) FBindings->AddBinding();
  ThreadMgr()->SetThreadClassRef(FPeerThreadClass);
  if (!FIOHandler) {
    FImplicitIOHandler = std::make_unique<TIdServerIOHandlerSocket>(nullptr);
    FIOHandler = FImplicitIOHandler.get();
  }
  FReplyTexts->UpdateReplyText(*FReplyUnknownCommand);
  FReplyTexts->UpdateReplyText(*FMaxConnectionReply);
  FIOHandler->PrepareServing();
  FLimits->Prepare(FMaxConnections, FMaxConnectionsPerAddress, FPeers->Count());
}

void TIdTCPServer::BindAll() {
  for (int I = 0; I < FBindings->Count(); ++I) {
    TIdSocketHandle* Binding = FBindings->Items(I);
    if (FSocketActivation && AdoptActivatedSocket(*Binding)) continue;
    Binding->OpenSocket(Id_SOCK_STREAM, Id_IPPROTO_IP);
    if (ReusesAddress())
      Binding->SetOption(Id_SOL_SOCKET, Id_SO_REUSEADDR, &OptionTrue, sizeof(OptionTrue));
    Binding->BindLocal();
  }
}

// rsOSDependent asks the stack: on Windows the option would let another socket take the port
// over, on the BSD stack it only lets a restarted server bind over its own TIME_WAIT leftovers.
bool TIdTCPServer::ReusesAddress() const {
  if (FReuseSocket == TIdReuseSocket::rsOSDependent) return GlobalStack()->ReusesListenAddress();
  return FReuseSocket == TIdReuseSocket::rsTrue;
}

// A failed bind, listen or listener start undoes the whole activation: the listeners already
// started stop, every binding's socket (the failing one included) is closed, Active stays false.
void TIdTCPServer::RollBackActivation() {
  try {
    StopListeners();
    for (int I = 0; I < FBindings->Count(); ++I)
      FBindings->Items(I)->CloseDescriptor();
    Deactivate();
  } catch (...) {
    // The activation's own failure is what the caller gets.
  }
  FActive = false;
}

void TIdTCPServer::Deactivate() {
  TellStopping();
  StopListeners();
  TScopeExit Release([this] { ReleaseImplicitThreadMgr(); });
  TerminatePeerThreads();
}

// An implicit manager goes once no peer thread is left to give itself back to it.
void TIdTCPServer::ReleaseImplicitThreadMgr() {
  {
    TLockGuard<TMutex> Guard(FThreadMgrLock);
    if (!FImplicitThreadMgr) return;
  }
  if (FPeers->Count() == 0) SetThreadMgr(nullptr);
}

void TIdTCPServer::StopListeners() {
  FListeners->Stop();
}

void TIdTCPServer::Drain(int32_t ATimeout) {
  if (!FActive) return;
  TellStopping();
  StopListeners();
  FPeers->WaitUntilGone(ATimeout, FPeers->Caller());
  SetActive(false);
}

void TIdTCPServer::TellStarted() {
  if (!FServiceNotifications) return;
  if (!FNotifier)
    FNotifier = std::make_unique<TIdServiceNotifier>(
        [this] { return FListeners->AllRun(); },
        [this](const Exception& E) { NotifyStatus(TIdStatus::stText, {E.Message()}); });
  FNotifier->Started();
}

void TIdTCPServer::TellStopping() {
  if (FNotifier) FNotifier->Stopping();
}

// Every peer thread's read or write fails and ends it. A peer thread that deactivates its own
// server is inside the server until its handler returns: it is left to end as usual (the
// destructor waits for it), and its connection to its handler.
void TIdTCPServer::TerminatePeerThreads() {
  const TIdPeerThread* Caller = FPeers->Caller();
  FPeers->DropAll(Caller);
  const int32_t Steps = std::max(FTerminateWaitTime / TerminateWaitStepMs, 0);
  if (!FPeers->WaitUntilGone(Steps * TerminateWaitStepMs, Caller))
    throw EIdTerminateThreadTimeout();
}

void TIdTCPServer::WaitForPeerThreadsWithoutLimit() {
  FPeers->DropAll(nullptr);
  FPeers->WaitUntilGone(TimeoutInfinite, nullptr);
}

int32_t TIdTCPServer::PeerThreadCount() {
  return FPeers->Count();
}

int32_t TIdTCPServer::ConnectionCap() {
  return FLimits->Cap(FPeers->Count());
}

TIdServerCounters TIdTCPServer::Counters() {
  return FCounters.Snapshot(FPeers->Count());
}

void TIdTCPServer::ForEachPeerThread(const std::function<void(TIdPeerThread& AThread)>& AVisit) {
  FPeers->ForEach(AVisit);
}

// Properties ------------------------------------------------------------------------------------

void TIdTCPServer::SetBindings(const TIdSocketHandles& AValue) {
  FBindings->Assign(AValue);
}

int32_t TIdTCPServer::BoundPort(int ABinding) const {
  return FBindings->BindingAt(ABinding)->Port();
}

int32_t TIdTCPServer::DefaultPort() const {
  return FBindings->DefaultPort();
}

void TIdTCPServer::SetDefaultPort(int32_t AValue) {
  FBindings->SetDefaultPort(AValue);
}

void TIdTCPServer::SetIntercept(TIdServerIntercept* AValue) {
  FIntercept = AValue;
  if (AValue) FreeNotification(AValue);
}

void TIdTCPServer::SetIOHandler(TIdServerIOHandler* AValue) {
  FIOHandler = AValue;
  FImplicitIOHandler.reset();
  if (AValue) FreeNotification(AValue);
}

TIdThreadMgr* TIdTCPServer::ThreadMgr() {
  TLockGuard<TMutex> Guard(FThreadMgrLock);
  if (IsDesigning() || FThreadMgr) return FThreadMgr;
  FImplicitThreadMgr = std::make_unique<TIdThreadMgrDefault>(nullptr);
  FThreadMgr = FImplicitThreadMgr.get();
  // Made while active (its predecessor was destroyed), it must be able to make peer threads.
  FThreadMgr->SetThreadClassRef(FPeerThreadClass);
  return FThreadMgr;
}

void TIdTCPServer::SetThreadMgr(TIdThreadMgr* AValue) {
  std::unique_ptr<TIdThreadMgr> Implicit;
  {
    TLockGuard<TMutex> Guard(FThreadMgrLock);
    Implicit = std::move(FImplicitThreadMgr);
    FThreadMgr = AValue;
  }
  // Freed once no longer current and outside the lock: a peer thread giving itself back
  // meanwhile finds the new manager, or none.
  Implicit.reset();
  if (AValue) FreeNotification(AValue);
}

TIdThreadMgr* TIdTCPServer::CurrentThreadMgr() {
  TLockGuard<TMutex> Guard(FThreadMgrLock);
  return FThreadMgr;
}

void TIdTCPServer::Notification(TComponent* AComponent, TOperation AOperation) {
  TIdComponent::Notification(AComponent, AOperation);
  if (AOperation != TOperation::opRemove || !AComponent) return;
  if (AComponent == CurrentThreadMgr()) {
    // Forgotten before the wait: the manager is already partly destroyed, so ending peer
    // threads must not give themselves back to it (they free themselves instead).
    {
      TLockGuard<TMutex> Guard(FThreadMgrLock);
      FThreadMgr = nullptr;
    }
    try {
      TerminatePeerThreads();
    } catch (const Exception&) {
      // A removal notice cannot fail: the manager is going either way.
    }
  } else if (AComponent == FIntercept) {
    FIntercept = nullptr;
  } else if (AComponent == FIOHandler) {
    FIOHandler = nullptr;
  }
}

// The peer thread's road ---------------------------------------------------------------------

void TIdTCPServer::HandleConnect(TIdPeerThread& AThread) {
  // Peer threads greet at the same time: the text lookup writes the shared greeting (once, while
  // it has no text), so it runs under a lock and each thread sends its own copy.
  TIdRFCReply Greeting;
  {
    TLockGuard<TMutex> Guard(FGreetingLock);
    FReplyTexts->UpdateReplyText(*FGreeting);
    Greeting.Assign(*FGreeting);
  }
  AThread.PeerConnection()->WriteReply(Greeting);
  if (!OnConnect) return;
  AssertNoLockHeld("OnConnect");
  OnConnect(AThread);
}

void TIdTCPServer::HandleDisconnect(TIdPeerThread& AThread) {
  if (!OnDisconnect) return;
  AssertNoLockHeld("OnDisconnect");
  OnDisconnect(AThread);
}

bool TIdTCPServer::HandleExecute(TIdPeerThread& AThread) {
  if (FCommandHandlersEnabled && FCommandHandlers->Count() > 0) {
    FCommandHandlers->HandleNextLine(AThread);
    return true;
  }
  if (!OnExecute) return false;
  AssertNoLockHeld("OnExecute");
  OnExecute(AThread);
  return true;
}

void TIdTCPServer::NotifyPeerException(TIdPeerThread& AThread, const Exception& AException) {
  if (!OnException) return;
  AssertNoLockHeld("OnException");
  OnException(AThread, AException);
}

void TIdTCPServer::NotifyListenException(TIdListenerThread& AThread, const Exception& AException) {
  if (!OnListenException) return;
  AssertNoLockHeld("OnListenException");
  OnListenException(AThread, AException);
}

} // namespace Id
