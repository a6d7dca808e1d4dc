// The thread that serves one listening binding of an active server: it accepts clients, pairs
// each with a peer thread, applies MaxConnections and starts the peer thread.
#pragma once

#include <cstdint>

#include "runtime/Export.h"
#include "threads/IdThread.h"

namespace Id {

class TIdSocketHandle;
class TIdTCPServer;
class TIdPeerThread;

/// One per binding while the server is active. Created halted by activation and started once
/// its binding listens; stopped, waited for and freed by the server's StopListeners (it never
/// frees itself). Failures of an accept cycle are reported through the server's
/// OnListenException and the thread goes on; since a failure for want of descriptors, buffers or
/// threads leaves the client queued and would repeat at once, it waits before the next
/// accept, doubling the wait from 5 ms up to 1 s while failures repeat, and returns to full
/// speed once a client has been handed over.
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
  TIdPeerThread* AcquirePeerThread();
  bool RefuseOverLimit(TIdPeerThread& APeer);
  void StartPeer(TIdPeerThread& APeer);
  void ReleasePeer(TIdPeerThread* APeer);
  void ReportFailure(const Exception& AException);
  void SleepWhileRunning(int32_t AMilliseconds);

  TIdTCPServer* FServer;           // not owned
  TIdSocketHandle* FListenBinding; // not owned
  int32_t FBackOffMs = 0;          // the next wait after a resource failure; 0: none pending
};

} // namespace Id
