#include "server/IdTCPServer.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "connection/IdIntercept.h"
#include "connection/IdServerIOHandlerSocket.h"
#include "core/IdException.h"
#include "core/IdRFCReply.h"
#include "net/IdSocketHandle.h"
#include "server/IdCommandHandlers.h"
#include "server/IdListenerThread.h"
#include "server/IdPeerThread.h"
#include "threads/IdThreadMgrDefault.h"

namespace Id {

namespace {

// Deactivation inspects PeerThreadList once per step of this length.
constexpr int32_t TerminateWaitStepMs = 250;

} // namespace

// Construction and destruction ----------------------------------------------------------------

TIdTCPServer::TIdTCPServer(TComponent* AOwner)
    : TIdComponent(AOwner), FBindings(std::make_unique<TIdSocketHandles>(this)),
      FCommandHandlers(std::make_unique<TIdCommandHandlers>(this)),
      FGreeting(std::make_unique<TIdRFCReply>()),
      FMaxConnectionReply(std::make_unique<TIdRFCReply>()),
      FReplyTexts(std::make_unique<TIdRFCReplies>(this)),
      FReplyUnknownCommand(std::make_unique<TIdRFCReply>()),
      FPeerThreadClass(IdThreadClassOf<TIdPeerThread>()) {}

TIdTCPServer::~TIdTCPServer() {
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
    StartListeners();
  } catch (...) {
    RollBackActivation();
    throw;
  }
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
}

void TIdTCPServer::BindAll() {
  for (int I = 0; I < FBindings->Count(); ++I) {
    TIdSocketHandle* Binding = FBindings->Items(I);
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

// Listening and starting the listener alternate binding by binding.
void TIdTCPServer::StartListeners() {
  FListenerThreadList = std::make_unique<TThreadList<std::unique_ptr<TIdListenerThread>>>();
  for (int I = 0; I < FBindings->Count(); ++I) {
    TIdSocketHandle* Binding = FBindings->Items(I);
    Binding->StartListening(FListenQueue);
    auto Listener = std::make_unique<TIdListenerThread>(this, Binding);
    TIdListenerThread* Started = Listener.get();
    FListenerThreadList->Add(std::move(Listener));
    Started->StartRunning();
  }
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
  StopListeners();
  try {
    TerminatePeerThreads();
  } catch (...) {
    ReleaseImplicitThreadMgr();
    throw;
  }
  ReleaseImplicitThreadMgr();
}

// An implicit manager goes once no peer thread is left to give itself back to it.
void TIdTCPServer::ReleaseImplicitThreadMgr() {
  {
    TLockGuard<TMutex> Guard(FThreadMgrLock);
    if (!FImplicitThreadMgr) return;
  }
  if (FPeerThreadList.Count() == 0) SetThreadMgr(nullptr);
}

void TIdTCPServer::StopListeners() {
  if (!FListenerThreadList) return;
  {
    TLockedList Listeners(*FListenerThreadList);
    // All are asked first, so they stop together. Closing the binding wakes a listener in its
    // wait or accept (where the platform cannot wake it, it notices within one 100 ms step);
    // the handle keeps the descriptor until the listener has left the call.
    for (auto& Listener : *Listeners) {
      Listener->RequestTerminate();
      Listener->ListenBinding()->CloseDescriptor();
    }
    for (auto& Listener : *Listeners) {
      Listener->TerminateAndWaitFor();
      Listener.reset();
    }
  }
  FListenerThreadList.reset();
}

// Closes every listed peer's transport under its thread, whose next read or write fails and
// ends it. A peer thread frees its connection only after leaving the list, so a peer found in
// the list under its lock has its connection. The lock is taken for one peer at a time: peers
// woken by the closes leave the list meanwhile instead of queueing on it by the thousand.
void TIdTCPServer::DropPeerConnections() {
  std::vector<TIdPeerThread*> Peers;
  {
    TLockedList List(FPeerThreadList);
    Peers = *List;
  }
  for (TIdPeerThread* Peer : Peers) {
    TLockedList List(FPeerThreadList);
    if (std::find(List->begin(), List->end(), Peer) == List->end()) continue; // gone meanwhile
    if (TIdTCPServerConnection* Connection = Peer->PeerConnection()) Connection->CloseTransport();
  }
}

// The wait lasts TerminateWaitTime rounded down to whole TerminateWaitStepMs steps. Ending peer
// threads wake it as they leave the list, so it ends as soon as the last one is gone instead of
// at a step boundary; the timeout is raised only when peer threads are still listed at its end
// (with no step at all, at once).
void TIdTCPServer::TerminatePeerThreads() {
  DropPeerConnections();
  const int32_t Steps = std::max(FTerminateWaitTime / TerminateWaitStepMs, 0);
  const auto Deadline =
      std::chrono::steady_clock::now() + Steps * std::chrono::milliseconds(TerminateWaitStepMs);
  TMutexLock Lock(FPeerGoneLock);
  while (FPeerThreadList.Count() != 0)
    if (!Lock.WaitUntil(FPeerGone, Deadline) && FPeerThreadList.Count() != 0)
      throw EIdTerminateThreadTimeout();
}

void TIdTCPServer::WaitForPeerThreadsWithoutLimit() {
  DropPeerConnections();
  TMutexLock Lock(FPeerGoneLock);
  while (FPeerThreadList.Count() != 0)
    Lock.Wait(FPeerGone);
}

// Every wait is for an empty list: only the last peer thread out wakes it, not each of thousands.
// The removal happens under FPeerGoneLock, under which the waiters read the list: a waiter that
// finds the list empty knows that the last peer thread is done with the server (the wake
// included), so the server may go at once.
void TIdTCPServer::LeavePeerThreadList(TIdPeerThread& AThread) {
  TLockGuard<TMutex> Guard(FPeerGoneLock);
  bool Emptied = false;
  {
    TLockedList Peers(FPeerThreadList);
    auto It = std::find(Peers->begin(), Peers->end(), &AThread);
    if (It == Peers->end()) return;
    Peers->erase(It);
    Emptied = Peers->empty();
  }
  if (Emptied) FPeerGone.notify_all();
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
  if (OnConnect) OnConnect(AThread);
}

void TIdTCPServer::HandleDisconnect(TIdPeerThread& AThread) {
  if (OnDisconnect) OnDisconnect(AThread);
}

bool TIdTCPServer::HandleExecute(TIdPeerThread& AThread) {
  if (FCommandHandlersEnabled && FCommandHandlers->Count() > 0) {
    TIdTCPServerConnection* Connection = AThread.PeerConnection();
    if (Connection->IsConnected()) {
      const std::string Line = Connection->ReadLine("\n", TIdTCPConnection::DefaultTimeout,
                                                    TIdTCPConnection::DefaultMaxLength);
      if (!Line.empty()) DispatchCommand(Line, AThread);
    }
    return true;
  }
  if (!OnExecute) return false;
  OnExecute(AThread);
  return true;
}

void TIdTCPServer::DispatchCommand(const std::string& AData, TIdPeerThread& AThread) {
  NotifyBeforeCommand(AData, AThread);
  try {
    bool Handled = false;
    for (int I = 0; I < FCommandHandlers->Count(); ++I) {
      TIdCommandHandler* Handler = FCommandHandlers->Items(I);
      if (Handler->Enabled() && Handler->TryHandleLine(AData, AThread)) {
        Handled = true;
        break;
      }
    }
    if (!Handled) HandleUnknownCommand(AData, AThread);
  } catch (...) {
    NotifyAfterCommand(AThread);
    throw;
  }
  NotifyAfterCommand(AThread);
}

void TIdTCPServer::HandleUnknownCommand(const std::string& AData, TIdPeerThread& AThread) {
  if (OnNoCommandHandler) {
    OnNoCommandHandler(*this, AData, AThread);
    return;
  }
  if (!FReplyUnknownCommand->HasContent()) throw EIdTCPServerError(RS::RSNoCommandHandlerFound);
  AThread.PeerConnection()->WriteReply(*FReplyUnknownCommand);
}

void TIdTCPServer::NotifyPeerException(TIdPeerThread& AThread, const Exception& AException) {
  if (OnException) OnException(AThread, AException);
}

void TIdTCPServer::NotifyListenException(TIdListenerThread& AThread, const Exception& AException) {
  if (OnListenException) OnListenException(AThread, AException);
}

void TIdTCPServer::NotifyBeforeCommand(const std::string& AData, TIdPeerThread& AThread) {
  if (OnBeforeCommandHandler) OnBeforeCommandHandler(*this, AData, AThread);
}

void TIdTCPServer::NotifyAfterCommand(TIdPeerThread& AThread) {
  if (OnAfterCommandHandler) OnAfterCommandHandler(*this, AThread);
}

// Given back while still listed: deactivation frees an implicit manager only once the list is
// empty, so the manager is alive here and no new one is made. Without a manager (it was
// destroyed under the running threads) the thread frees itself when it ends.
void TIdTCPServer::ReleasePeerThread(TIdPeerThread& AThread) {
  try {
    if (TIdThreadMgr* Manager = CurrentThreadMgr()) {
      Manager->ReturnThread(&AThread);
    } else {
      AThread.SetFreeOnTerminate(true);
      AThread.RequestTerminate();
    }
  } catch (...) {
    LeavePeerThreadList(AThread);
    throw;
  }
  LeavePeerThreadList(AThread);
}

} // namespace Id
