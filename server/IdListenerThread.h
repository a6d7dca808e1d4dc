// SPDX-License-Identifier: MIT
// The thread that serves one listening binding of an active server: it accepts clients, pairs
// each with a peer thread, applies MaxConnections and starts the peer thread.
#pragma once

#include <cstdint>
#include <memory>
#include <system_error>

#include "idframework/net/IdSocketHandle.h"
#include "idframework/runtime/Export.h"
#include "idframework/threads/IdThread.h"

namespace Id {

class EIdSocketError;
class TIdIOHandler;
class TIdTCPServer;
class TIdTCPServerConnection;
class TIdPeerThread;

/// One per binding while the server is active. Created halted by activation and started once
/// its binding listens; stopped, waited for and freed by the server's StopListeners (it never
/// frees itself). Failures of an accept cycle are reported through the server's
/// OnListenException and the thread goes on; since a failure for want of descriptors or buffers
/// leaves the client queued and would repeat at once, it waits before the next accept, doubling
/// the wait from 5 ms up to 1 s while failures repeat, and returns to full speed once a client
/// has been handed over. A client for whom no thread can be made is refused as one over
/// MaxConnections, the failure reported as EIdCouldNotCreateThread, and the next accept follows
/// at once. On a transport that speaks TLS from the first byte a refused client is closed
/// without the reply. The thread keeps one descriptor in reserve: when the process is out of
/// descriptors, it lets the reserve go to accept the waiting client, refuses it as one over
/// MaxConnections and takes the reserve back, so that waiting clients are told at once and the
/// listener goes on without a wait; the first such failure of a shortage is reported. Each
/// accepted and each refused client is counted in the server's counters.
class ID_API TIdListenerThread : public TIdThread {
public:
  /// Neither AServer nor ABinding is owned; both outlive the thread.
  TIdListenerThread(TIdTCPServer* AServer, TIdSocketHandle* ABinding);
  /// Ends a running thread and waits for it.
  ~TIdListenerThread() override;

  /// The binding whose socket is listening; not owned.
  TIdSocketHandle* ListenBinding() const noexcept { return FListenBinding; }
  /// The server that created the thread; not owned.
  TIdTCPServer* Server() const noexcept { return FServer; }

  /// First wait after an accept failed for want of descriptors or buffers, and the longest.
  static constexpr int32_t BackOffFirstMs = 5;
  static constexpr int32_t BackOffMaxMs = 1000;

protected:
  /// One accept cycle: waits for a client (in 100 ms steps, watching the halted state) and
  /// hands it to a started peer thread; refused clients are closed and the cycle goes on.
  /// Stops the thread when the accept finds the listening socket closed.
  void RunStep() override;
  /// Closes the listening socket.
  void AfterRunPhase() override;

private:
  bool AcceptOneClient();
  bool ServeAccepted(std::unique_ptr<TIdIOHandler> AAccepted);
  void RefuseForWantOfDescriptors(std::unique_ptr<TIdIOHandler> AAccepted);
  TIdPeerThread* AcquirePeerThread();
  bool RefuseOverLimit(TIdPeerThread& APeer);
  bool AdmitAddressAtAccept(TIdTCPServerConnection& AConnection);
  bool RefuseWithReserve(const EIdSocketError& AError);
  void TakeReserve();
  void Refuse(TIdTCPServerConnection& AConnection);
  void RefuseWithoutThread(TIdTCPServerConnection& AConnection, const std::system_error& AError);
  bool StartPeer(TIdPeerThread& APeer);
  void ReleasePeer(TIdPeerThread* APeer);
  void ReportFailure(const Exception& AException);
  void SleepWhileRunning(int32_t AMilliseconds);

  TIdTCPServer* FServer;           // not owned
  TIdSocketHandle* FListenBinding; // not owned
  int32_t FBackOffMs = 0;          // the next wait after a resource failure; 0: none pending
  TIdSocketHandle FReserve;        // a descriptor held for the refusals when there is none
  bool FShortageReported = false;  // the running shortage of descriptors was reported
};

} // namespace Id
