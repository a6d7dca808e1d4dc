// The serving side of one accepted client: its connection, which knows the server, and the peer
// thread that greets the client, runs the server's execute step while the connection is open and
// hands itself back when it ends.
#pragma once

#include <memory>

#include "connection/IdTCPConnection.h"
#include "runtime/Export.h"
#include "threads/IdThread.h"

namespace Id {

class TIdTCPServer;

/// The connection of one client accepted by a server. Created by the listener thread, then owned
/// by the peer thread that serves it (freed in its ReleaseData).
class ID_API TIdTCPServerConnection : public TIdTCPConnection {
public:
  /// No owner component; AServer is the server whose listener accepted the client.
  explicit TIdTCPServerConnection(TIdTCPServer* AServer);

  /// The server; not owned. It outlives the connection: deactivation waits until every peer
  /// thread has left the server's PeerThreadList.
  TIdTCPServer* Server() const noexcept { return FServer; }

private:
  TIdTCPServer* FServer; // not owned
};

/// The thread serving one connection. Made halted by the server's thread manager (through the
/// server's PeerThreadClass), given its connection by the listener, added to PeerThreadList and
/// started. It ends by itself when the connection closes, reporting every exception through the
/// server's OnException; the end of the client's connection is a quiet end.
class ID_API TIdPeerThread : public TIdThread {
public:
  /// The constructor a thread class calls; ACreateSuspended is true in the framework.
  explicit TIdPeerThread(bool ACreateSuspended = true);
  /// Stops a started thread first; frees the connection (closing its socket).
  ~TIdPeerThread() override;

  /// The connection served; owned. nullptr before the listener attaches it and after the run
  /// phase released it. Read by the peer thread, and by the server while the thread is listed.
  TIdTCPServerConnection* PeerConnection() const noexcept { return FPeerConnection.get(); }
  /// Attaches the connection before the thread starts (listener thread); frees a previous one.
  void SetPeerConnection(std::unique_ptr<TIdTCPServerConnection> AValue);

protected:
  /// Completes the accept, installs the server intercept's connection intercept, greets the
  /// client and fires OnConnect; stops at once when that closed the connection.
  void BeforeRunPhase() override;
  /// One execute step: command handlers or OnExecute. Connection-ending exceptions are reported
  /// and end the thread quietly; every other exception is reported and ends the thread.
  void RunStep() override;
  /// Fires OnDisconnect.
  void AfterRunPhase() override;
  /// Frees the connection, then gives the thread back to the manager and leaves PeerThreadList.
  void ReleaseData() override;

private:
  void CompleteAccept();
  void ExecuteStep(TIdTCPServer& AServer);

  std::unique_ptr<TIdTCPServerConnection> FPeerConnection; // owned
};

} // namespace Id
