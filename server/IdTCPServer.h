// The TCP server component: its configuration, and switching the listeners and the peer threads
// on and off with Active.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/IdGlobal.h"
#include "net/IdComponent.h"
#include "runtime/CriticalSection.h"
#include "runtime/Export.h"
#include "threads/IdThreadMgr.h"

namespace Id {

class TIdCommandHandlers;
class TIdListenerThread;
class TIdPeerThread;
class TIdRFCReply;
class TIdRFCReplies;
class TIdServerIntercept;
class TIdServerIOHandler;
class TIdSocketHandles;
class TIdTCPServer;

/// Per-connection events. Run on the connection's peer thread, on many peer threads at once.
using TIdServerThreadEvent = std::function<void(TIdPeerThread& AThread)>;
using TIdServerThreadExceptionEvent =
    std::function<void(TIdPeerThread& AThread, const Exception& AException)>;
/// An accept cycle failed. Runs on the listener thread.
using TIdListenExceptionEvent =
    std::function<void(TIdListenerThread& AThread, const Exception& AException)>;
/// Command dispatch events. Run on the peer thread.
using TIdBeforeCommandHandlerEvent =
    std::function<void(TIdTCPServer& ASender, const std::string& AData, TIdPeerThread& AThread)>;
using TIdNoCommandHandlerEvent = TIdBeforeCommandHandlerEvent;
using TIdAfterCommandHandlerEvent =
    std::function<void(TIdTCPServer& ASender, TIdPeerThread& AThread)>;

/// A TCP service. Setting Active true binds every binding, listens and starts one listener
/// thread per binding; every accepted client is served by its own peer thread, through the
/// command handlers when there are any (and they are enabled), else through OnExecute. Setting
/// Active false stops the listeners, drops every connection and waits for the peer threads.
///
/// Threads: Active, the setters, Loaded and Notification run on the thread that owns the
/// component. Listener and peer threads read the configuration without a lock: it must not
/// change while the server is active. PeerThreadList is guarded by its own lock.
class ID_API TIdTCPServer : public TIdComponent {
public:
  /// Inactive, no bindings, ListenQueue 15, TerminateWaitTime 5000, command handlers enabled.
  explicit TIdTCPServer(TComponent* AOwner);
  /// Deactivates first; when peer threads outlive TerminateWaitTime it keeps waiting for them,
  /// since they use the server until they end. Never throws.
  ~TIdTCPServer() override;

  // Properties ----------------------------------------------------------------------------

  /// The recorded state. Setting it outside loading and design activates or deactivates.
  /// Activation raises the bind, listen or allocation failure after undoing what it did
  /// (Active stays false); deactivation raises EIdTerminateThreadTimeout "Terminate Thread
  /// Timeout" when peer threads remain after TerminateWaitTime (Active stays true).
  bool Active() const noexcept { return FActive; }
  void SetActive(bool AValue);
  /// The bindings. Owned. SetBindings copies the items of AValue.
  TIdSocketHandles& Bindings() noexcept { return *FBindings; }
  void SetBindings(const TIdSocketHandles& AValue);
  /// The port of binding ABinding: once active, the one the system chose for a binding set to
  /// port 0. Raises EListError when there is no such binding.
  int32_t BoundPort(int ABinding = 0) const;
  /// The command handlers. Owned.
  TIdCommandHandlers& CommandHandlers() noexcept { return *FCommandHandlers; }
  /// When false the handlers are ignored and OnExecute runs. Default true.
  bool CommandHandlersEnabled() const noexcept { return FCommandHandlersEnabled; }
  void SetCommandHandlersEnabled(bool AValue) noexcept { FCommandHandlersEnabled = AValue; }
  /// The port of the binding added when Bindings is empty at activation; held by Bindings.
  int32_t DefaultPort() const;
  void SetDefaultPort(int32_t AValue);
  /// Sent to every client on connect when it has content. Owned. Set it up while inactive.
  TIdRFCReply& Greeting() noexcept ID_NO_THREAD_SAFETY_ANALYSIS { return *FGreeting; }
  /// Gives each connection its intercept. Not owned; cleared on removal notice.
  TIdServerIntercept* Intercept() const noexcept { return FIntercept; }
  void SetIntercept(TIdServerIntercept* AValue);
  /// Accepts the clients; a TIdServerIOHandlerSocket is made at activation when none is set.
  /// Owned only when the server made it; otherwise cleared on removal notice.
  TIdServerIOHandler* IOHandler() const noexcept { return FIOHandler; }
  /// Frees a handler the server made itself; AValue stays the caller's.
  void SetIOHandler(TIdServerIOHandler* AValue);
  /// Listen backlog of every binding. Default 15.
  int32_t ListenQueue() const noexcept { return FListenQueue; }
  void SetListenQueue(int32_t AValue) noexcept { FListenQueue = AValue; }
  /// Sent to a client refused by MaxConnections when it has content. Owned.
  TIdRFCReply& MaxConnectionReply() noexcept { return *FMaxConnectionReply; }
  /// The most peer threads at once; 0 or less: no limit.
  int32_t MaxConnections() const noexcept { return FMaxConnections; }
  void SetMaxConnections(int32_t AValue) noexcept { FMaxConnections = AValue; }
  /// Code of the reply sent when a command handler's OnCommand raises, unless the handler has
  /// its own; 0 or less: none.
  int32_t ReplyExceptionCode() const noexcept { return FReplyExceptionCode; }
  void SetReplyExceptionCode(int32_t AValue) noexcept { FReplyExceptionCode = AValue; }
  /// Default texts per code for replies that have a code but no text. Owned.
  TIdRFCReplies& ReplyTexts() noexcept { return *FReplyTexts; }
  /// Sent for a line no command handler takes, when OnNoCommandHandler is unset. Owned.
  TIdRFCReply& ReplyUnknownCommand() noexcept { return *FReplyUnknownCommand; }
  /// Whether activation sets the address-reuse option before binding: rsTrue always, rsFalse
  /// never, rsOSDependent as the platform's servers do (on the BSD stack yes, on Windows no).
  /// Default rsOSDependent.
  TIdReuseSocket ReuseSocket() const noexcept { return FReuseSocket; }
  void SetReuseSocket(TIdReuseSocket AValue) noexcept { FReuseSocket = AValue; }
  /// How long deactivation waits for the peer threads, in ms. Default 5000.
  int32_t TerminateWaitTime() const noexcept { return FTerminateWaitTime; }
  void SetTerminateWaitTime(int32_t AValue) noexcept { FTerminateWaitTime = AValue; }
  /// The thread manager. Outside design mode, reading it when none is set makes an implicit
  /// TIdThreadMgrDefault owned by the server. Any thread.
  TIdThreadMgr* ThreadMgr();
  /// Frees an implicit manager; AValue stays the caller's (cleared on removal notice).
  void SetThreadMgr(TIdThreadMgr* AValue);
  /// The class of the peer threads the manager makes. Default TIdPeerThread.
  const TIdThreadClass& PeerThreadClass() const noexcept { return FPeerThreadClass; }
  void SetPeerThreadClass(TIdThreadClass AValue) { FPeerThreadClass = std::move(AValue); }

  /// The number of running peer threads (the count MaxConnections limits). Any thread.
  int32_t PeerThreadCount() { return FPeerThreadList.Count(); }
  /// Calls AVisit for every running peer thread, holding the list's lock: a peer thread stays
  /// listed, with its connection, until AVisit returns. Any thread; AVisit must not wait for a
  /// peer thread to end.
  template <class F> void ForEachPeerThread(F AVisit) {
    TLockedList Peers(FPeerThreadList);
    for (TIdPeerThread* Peer : *Peers)
      AVisit(*Peer);
  }

  // Events (see the typedefs for the thread each runs on) -----------------------------------

  /// After a command handler took a line.
  TIdAfterCommandHandlerEvent OnAfterCommandHandler;
  /// Before the command handlers see a line.
  TIdBeforeCommandHandlerEvent OnBeforeCommandHandler;
  /// A client was accepted and greeted; runs before its first execute step.
  TIdServerThreadEvent OnConnect;
  /// One execute step, while the connection is open and no command handler applies.
  TIdServerThreadEvent OnExecute;
  /// The connection's work ended.
  TIdServerThreadEvent OnDisconnect;
  /// An exception ended an execute step, the client's close included.
  TIdServerThreadExceptionEvent OnException;
  /// An accept cycle failed; the listener goes on.
  TIdListenExceptionEvent OnListenException;
  /// A line no command handler took.
  TIdNoCommandHandlerEvent OnNoCommandHandler;

  // Component ------------------------------------------------------------------------------

  /// Runs an activation that a stored Active true deferred.
  void Loaded() override;
  /// Clears the reference to a removed thread manager (after dropping the peers' connections and
  /// waiting for them), intercept or I/O handler.
  void Notification(TComponent* AComponent, TOperation AOperation) override;

  // Called by the peer and listener threads -------------------------------------------------

  /// Greets the client (Greeting, with its text from ReplyTexts) and fires OnConnect. Peer
  /// thread; raises what the connection raises.
  virtual void HandleConnect(TIdPeerThread& AThread);
  /// Fires OnDisconnect.
  virtual void HandleDisconnect(TIdPeerThread& AThread);
  /// One execute step: reads and dispatches one line when the command handlers apply, else
  /// fires OnExecute. False when there was nothing to run.
  virtual bool HandleExecute(TIdPeerThread& AThread);

protected:
  /// A hook for descendants that install their command handlers; runs once, at the first
  /// activation.
  virtual void PrepareCommandHandlers() {}

  /// Closes every peer connection and waits, up to TerminateWaitTime rounded down to 250 ms
  /// steps, until PeerThreadList is empty; raises EIdTerminateThreadTimeout when peer threads
  /// are still listed at the end of the wait.
  void TerminatePeerThreads();
  /// Stops, waits for and frees every listener thread.
  void StopListeners();

private:
  // The listener and peer threads work the server's lists and events through these.
  friend class TIdListenerThread;
  friend class TIdPeerThread;

  /// The running peer threads (not owned: they free themselves). Listener threads add, peer
  /// threads remove themselves; every traversal holds the list's lock.
  TThreadList<TIdPeerThread*>& PeerThreadList() noexcept { return FPeerThreadList; }
  /// Fires OnException.
  void NotifyPeerException(TIdPeerThread& AThread, const Exception& AException);
  /// Fires OnListenException.
  void NotifyListenException(TIdListenerThread& AThread, const Exception& AException);
  /// Fires OnBeforeCommandHandler.
  void NotifyBeforeCommand(const std::string& AData, TIdPeerThread& AThread);
  /// Fires OnAfterCommandHandler.
  void NotifyAfterCommand(TIdPeerThread& AThread);
  /// A line no handler took: OnNoCommandHandler, else ReplyUnknownCommand, else
  /// EIdTCPServerError "No command handler found.".
  void HandleUnknownCommand(const std::string& AData, TIdPeerThread& AThread);
  /// The end of a peer thread's run phase: gives it back to the current thread manager (never
  /// making a new one; without one the thread frees itself when it ends) and removes it from
  /// PeerThreadList. Called by the peer thread itself.
  void ReleasePeerThread(TIdPeerThread& AThread);
  /// Removes AThread from PeerThreadList and wakes a deactivation waiting for the list to
  /// empty. Every removal goes through here (the listener's, for a peer that failed to start).
  void LeavePeerThreadList(TIdPeerThread& AThread);

  void Activate();
  void PrepareActivation();
  void BindAll();
  bool ReusesAddress() const;
  void StartListeners();
  void RollBackActivation();
  void Deactivate();
  void ReleaseImplicitThreadMgr();
  void DropPeerConnections();
  void WaitForPeerThreadsWithoutLimit();
  void DispatchCommand(const std::string& AData, TIdPeerThread& AThread);
  TIdThreadMgr* CurrentThreadMgr();

  bool FActive = false;
  std::unique_ptr<TIdSocketHandles> FBindings;          // owned
  std::unique_ptr<TIdCommandHandlers> FCommandHandlers; // owned
  bool FCommandHandlersEnabled = true;
  TMutex FGreetingLock; // the text lookup of the greeting on peer threads
  std::unique_ptr<TIdRFCReply> FGreeting ID_GUARDED_BY(FGreetingLock); // owned
  TIdServerIntercept* FIntercept = nullptr; // not owned; cleared on removal notice
  // FImplicitIOHandler, or one not owned (cleared on removal notice).
  TIdServerIOHandler* FIOHandler = nullptr;
  std::unique_ptr<TIdServerIOHandler> FImplicitIOHandler; // made at activation when none was set
  int32_t FListenQueue = 15;
  std::unique_ptr<TIdRFCReply> FMaxConnectionReply; // owned
  int32_t FMaxConnections = 0;
  int32_t FReplyExceptionCode = 0;
  std::unique_ptr<TIdRFCReplies> FReplyTexts;        // owned
  std::unique_ptr<TIdRFCReply> FReplyUnknownCommand; // owned
  TIdReuseSocket FReuseSocket = TIdReuseSocket::rsOSDependent;
  int32_t FTerminateWaitTime = 5000;

  // The manager may be made implicitly by whichever thread reads ThreadMgr first.
  TMutex FThreadMgrLock;
  // FImplicitThreadMgr, or one not owned (cleared on removal notice).
  TIdThreadMgr* FThreadMgr ID_GUARDED_BY(FThreadMgrLock) = nullptr;
  std::unique_ptr<TIdThreadMgr> FImplicitThreadMgr ID_GUARDED_BY(FThreadMgrLock);
  TIdThreadClass FPeerThreadClass;
  bool FHandlersPrepared = false;

  TThreadList<TIdPeerThread*> FPeerThreadList; // not owned: the threads free themselves
  // Held while a peer thread leaves FPeerThreadList and while a wait tests that it is empty: a
  // waiter that finds it empty knows that no peer thread still touches the server.
  TMutex FPeerGoneLock;
  std::condition_variable FPeerGone; // the last peer thread left FPeerThreadList
  // Exists only while active; owns the listener threads.
  std::unique_ptr<TThreadList<std::unique_ptr<TIdListenerThread>>> FListenerThreadList;
};

} // namespace Id
