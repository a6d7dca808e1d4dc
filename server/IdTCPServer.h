// SPDX-License-Identifier: MIT
// The TCP server component: its configuration, and switching the listeners and the peer threads
// on and off with Active.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "idframework/core/IdGlobal.h"
#include "idframework/net/IdComponent.h"
#include "idframework/runtime/CriticalSection.h"
#include "idframework/runtime/Export.h"
#include "idframework/server/IdServerCounters.h"
#include "idframework/threads/IdThreadMgr.h"

namespace Id {

class TIdCommandHandlers;
class TIdConnectionLimits;
class TIdListenerThread;
class TIdListeners;
class TIdPeerRegistry;
class TIdPeerThread;
class TIdRFCReply;
class TIdRFCReplies;
class TIdServerIntercept;
class TIdServerIOHandler;
class TIdServiceNotifier;
class TIdSocketHandles;
class TIdTCPServer;
class TIdTCPServerConnection;

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
/// component (SetActive(false) may also run on a peer thread, see there). Listener and peer
/// threads read the configuration without a lock: it must not change while the server is
/// active. The running peer threads are listed in a registry guarded by its own lock, which is
/// never held while an event runs.
///
/// \see The guide: \ref guide-threads, \ref guide-events, \ref guide-recipes.
class ID_API TIdTCPServer : public TIdComponent {
public:
  /// Inactive, no bindings, ListenQueue 15, TerminateWaitTime 5000, command handlers enabled.
  explicit TIdTCPServer(TComponent* AOwner);
  /// Deactivates first; when peer threads outlive TerminateWaitTime it keeps waiting for them,
  /// since they use the server until they end. A peer thread runs inside the server until its
  /// handler returns, so the server cannot go from under one of its own peer threads: destroying
  /// it there raises EIdTCPServerError "Cannot destroy a server on one of its own peer
  /// threads", which ends the process.
  ~TIdTCPServer() override;

  // Properties ----------------------------------------------------------------------------

  /// The recorded state (any thread may read it). Setting it outside loading and design
  /// activates or deactivates. Activation raises the bind, listen or allocation failure after
  /// undoing what it did (Active stays false); deactivation raises EIdTerminateThreadTimeout
  /// "Terminate Thread Timeout" when peer threads remain after TerminateWaitTime (Active stays
  /// true). Deactivation on one of the server's own peer threads (a command that stops the
  /// server) neither drops that thread's connection nor waits for the thread: it goes on with
  /// its client and ends as usual, and the destructor waits for it.
  bool Active() const noexcept { return FActive.load(); }
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
  /// The most peer threads at once. 0 or less: as many as the machine allows, a cap read at
  /// activation and again while the server runs (see ConnectionCap). Set it to INT32_MAX for
  /// no limit at all.
  int32_t MaxConnections() const noexcept { return FMaxConnections; }
  void SetMaxConnections(int32_t AValue) noexcept { FMaxConnections = AValue; }
  /// The most connections at once from one client address (an IPv4 client of a dual-stack
  /// binding counts under its IPv4 address); a client over it is refused like one over
  /// MaxConnections. 0 or less (the default): no limit.
  int32_t MaxConnectionsPerAddress() const noexcept { return FMaxConnectionsPerAddress; }
  void SetMaxConnectionsPerAddress(int32_t AValue) noexcept { FMaxConnectionsPerAddress = AValue; }
  /// The limit in force while active: MaxConnections when positive, else the cap that follows
  /// the machine: the connections that fit in what the descriptor limit (RLIMIT_NOFILE), the
  /// thread limits (RLIMIT_NPROC, the pids control group, the kernel's threads-max) and the
  /// memory control group leave, each less a safety margin; 0 when nothing limits them. Any
  /// thread.
  int32_t ConnectionCap();
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
  /// Given to every peer connection before its greeting (see TIdTCPConnection): the longest a
  /// send may wait without the client taking a byte, the most time one line may take once it
  /// has begun, and the longest a read waits with no input left; in ms, 0 (the default): none.
  /// A connection that runs out of one ends through its thread's usual exception path
  /// (EIdWriteTimeout, EIdLineTimeout, EIdIdleTimeout).
  int32_t WriteTimeout() const noexcept { return FWriteTimeout; }
  void SetWriteTimeout(int32_t AValue) noexcept { FWriteTimeout = AValue; }
  int32_t LineTimeout() const noexcept { return FLineTimeout; }
  void SetLineTimeout(int32_t AValue) noexcept { FLineTimeout = AValue; }
  int32_t IdleTimeout() const noexcept { return FIdleTimeout; }
  void SetIdleTimeout(int32_t AValue) noexcept { FIdleTimeout = AValue; }
  /// How long deactivation waits for the peer threads, in ms. Default 5000.
  int32_t TerminateWaitTime() const noexcept { return FTerminateWaitTime; }
  void SetTerminateWaitTime(int32_t AValue) noexcept { FTerminateWaitTime = AValue; }
  /// Whether each client's connection begins with a PROXY protocol header (version 1 or 2) from
  /// a load balancer in front of the server, naming the client behind it. The peer thread reads
  /// it first, before a TLS handshake, the greeting and OnConnect, and keeps it on the connection
  /// (TIdTCPServerConnection::ProxyHeader, ClientIP...). A client without a valid header within
  /// ProxyHeaderTimeout is reported through OnException and its connection ends (OnConnect and
  /// OnDisconnect do not run); a balancer's health check that closes without a byte reports
  /// EIdConnClosedGracefully. Only for servers that nothing but the balancer can reach: anyone
  /// who can connect may claim any address. Default false.
  bool ProxyProtocol() const noexcept { return FProxyProtocol; }
  void SetProxyProtocol(bool AValue) noexcept { FProxyProtocol = AValue; }
  /// The most a client may take to send its whole PROXY protocol header, in ms; 0 or less: no
  /// limit. Default 5000.
  int32_t ProxyHeaderTimeout() const noexcept { return FProxyHeaderTimeout; }
  void SetProxyHeaderTimeout(int32_t AValue) noexcept { FProxyHeaderTimeout = AValue; }
  /// Whether activation takes each binding's listening socket from those the service manager
  /// handed to the process (server/IdSystemd.h), matched by the binding's ActivationName, else by
  /// its address and port, instead of binding it; a binding without one binds as usual. The
  /// service manager keeps the socket open while the process stops or restarts, so clients wait
  /// in its queue instead of being refused. Such a binding's socket options and backlog are the
  /// service manager's. The handed sockets are taken at the first such activation in the process
  /// (do not call TakeActivatedSockets then). Default false.
  bool SocketActivation() const noexcept { return FSocketActivation; }
  void SetSocketActivation(bool AValue) noexcept { FSocketActivation = AValue; }
  /// Whether the server tells the service manager (NOTIFY_SOCKET) READY=1 once activation has
  /// started every listener, STOPPING=1 when a drain or deactivation begins, and WATCHDOG=1
  /// every half WATCHDOG_USEC from a thread of its own while every listener runs. A failed
  /// notification is reported through OnStatus (stText, the failure's text) and changes nothing
  /// else. Without a service manager nothing is sent. Default false.
  bool ServiceNotifications() const noexcept { return FServiceNotifications; }
  void SetServiceNotifications(bool AValue) noexcept { FServiceNotifications = AValue; }
  /// The thread manager. Outside design mode, reading it when none is set makes an implicit
  /// TIdThreadMgrDefault owned by the server. Any thread.
  TIdThreadMgr* ThreadMgr();
  /// Frees an implicit manager; AValue stays the caller's (cleared on removal notice).
  void SetThreadMgr(TIdThreadMgr* AValue);
  /// The class of the peer threads the manager makes. Default TIdPeerThread.
  const TIdThreadClass& PeerThreadClass() const noexcept { return FPeerThreadClass; }
  void SetPeerThreadClass(TIdThreadClass AValue) { FPeerThreadClass = std::move(AValue); }

  /// A graceful stop: tells the service manager STOPPING=1 (ServiceNotifications), stops
  /// accepting at once (every listener and listening socket is closed, so a balancer or the
  /// system sends new clients elsewhere), lets the connected clients finish for up to ATimeout ms
  /// (TimeoutInfinite: without limit), then deactivates as SetActive(false) does, which closes
  /// the connections still open and may raise EIdTerminateThreadTimeout. Nothing when inactive.
  /// The thread that owns the component, or one of the server's peer threads (whose own
  /// connection is neither waited for nor closed, as in SetActive(false)).
  void Drain(int32_t ATimeout);

  /// The number of running peer threads (the count MaxConnections limits). Any thread.
  int32_t PeerThreadCount();
  /// The server's counts now: clients accepted and refused by reason, peer threads running,
  /// timed-out reads and writes by kind, bytes each way. Any thread, at any time; it stops
  /// nothing (the counts are kept without a lock, see TIdServerCounterSet).
  TIdServerCounters Counters();
  /// Calls AVisit for every running peer thread that is not ending, one after the other, with
  /// no lock held: the visited thread keeps its connection until AVisit returns. Any thread;
  /// AVisit must not wait for a peer thread to end.
  void ForEachPeerThread(const std::function<void(TIdPeerThread& AThread)>& AVisit);

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
  /// Fires OnException. Peer thread.
  void NotifyPeerException(TIdPeerThread& AThread, const Exception& AException);
  /// Fires OnListenException. Listener thread.
  void NotifyListenException(TIdListenerThread& AThread, const Exception& AException);
  /// The running peer threads: the listener lists each before starting it (see
  /// server/detail/IdPeerRegistry.h). Owned. The framework's.
  TIdPeerRegistry& PeerRegistry() noexcept { return *FPeers; }
  /// The admission of clients: MaxConnections or the machine's cap, and the per-address counts
  /// (see server/detail/IdConnectionLimits.h). Owned. The framework's.
  TIdConnectionLimits& ConnectionLimits() noexcept { return *FLimits; }
  /// The live counts behind Counters. Owned. The framework's (see
  /// server/detail/IdPeerAdmission.h for what counts a client in or refuses it).
  TIdServerCounterSet& CounterSet() noexcept { return FCounters; }

protected:
  /// A hook for descendants that install their command handlers; runs once, at the first
  /// activation.
  virtual void PrepareCommandHandlers() {}

  /// Closes every peer connection and waits, up to TerminateWaitTime rounded down to 250 ms
  /// steps, until no peer thread is listed; raises EIdTerminateThreadTimeout when peer threads
  /// are still listed at the end of the wait. On a peer thread of this server, that thread's
  /// connection is neither closed nor waited for.
  void TerminatePeerThreads();
  /// Stops, waits for and frees every listener thread.
  void StopListeners();

private:
  void Activate();
  void PrepareActivation();
  void BindAll();
  bool ReusesAddress() const;
  void RollBackActivation();
  void Deactivate();
  void ReleaseImplicitThreadMgr();
  void TellStarted();
  void TellStopping();
  void WaitForPeerThreadsWithoutLimit();
  TIdThreadMgr* CurrentThreadMgr();

  std::atomic<bool> FActive{false};
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
  int32_t FMaxConnectionsPerAddress = 0;
  int32_t FWriteTimeout = 0;
  int32_t FLineTimeout = 0;
  int32_t FIdleTimeout = 0;
  int32_t FReplyExceptionCode = 0;
  std::unique_ptr<TIdRFCReplies> FReplyTexts;        // owned
  std::unique_ptr<TIdRFCReply> FReplyUnknownCommand; // owned
  TIdReuseSocket FReuseSocket = TIdReuseSocket::rsOSDependent;
  int32_t FTerminateWaitTime = 5000;
  bool FProxyProtocol = false;
  int32_t FProxyHeaderTimeout = 5000;
  bool FSocketActivation = false;
  bool FServiceNotifications = false;

  // The manager may be made implicitly by whichever thread reads ThreadMgr first.
  TMutex FThreadMgrLock;
  // FImplicitThreadMgr, or one not owned (cleared on removal notice).
  TIdThreadMgr* FThreadMgr ID_GUARDED_BY(FThreadMgrLock) = nullptr;
  std::unique_ptr<TIdThreadMgr> FImplicitThreadMgr ID_GUARDED_BY(FThreadMgrLock);
  TIdThreadClass FPeerThreadClass;
  bool FHandlersPrepared = false;

  std::unique_ptr<TIdPeerRegistry> FPeers;      // owned; the running peer threads (not owned)
  std::unique_ptr<TIdConnectionLimits> FLimits; // owned
  TIdServerCounterSet FCounters;
  // Exists only while active; owns the listener threads.
  std::unique_ptr<TIdListeners> FListeners; // owned
  // Made at the first activation with ServiceNotifications; its keep-alive thread looks at the
  // listener threads, so it goes first.
  std::unique_ptr<TIdServiceNotifier> FNotifier;
};

} // namespace Id
