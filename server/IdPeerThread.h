// SPDX-License-Identifier: MIT
// The serving side of one accepted client: its connection, which knows the server, and the peer
// thread that greets the client, runs the server's execute step while the connection is open and
// hands itself back when it ends.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "idframework/connection/IdTCPConnection.h"
#include "idframework/runtime/Export.h"
#include "idframework/threads/IdThread.h"

namespace Id {

class TIdAddressSlot;
class TIdPeerRegistry;
class TIdSocketHandle;
class TIdTCPServer;
struct TIdProxyHeader;

/// The connection of one client accepted by a server. Created by the listener thread, then owned
/// by the peer thread that serves it (freed in its ReleaseData).
///
/// \see The guide: \ref guide-instances.
class ID_API TIdTCPServerConnection : public TIdTCPConnection {
public:
  /// No owner component; AServer is the server whose listener accepted the client.
  explicit TIdTCPServerConnection(TIdTCPServer* AServer);
  ~TIdTCPServerConnection() override;

  /// The server; not owned. It outlives the connection: deactivation waits until every peer
  /// thread has left the server's peer registry.
  TIdTCPServer* Server() const noexcept { return FServer; }
  /// Holds ASlot, the count of the client's address under MaxConnectionsPerAddress, until the
  /// connection goes. The framework's.
  void HoldAddressSlot(std::unique_ptr<TIdAddressSlot> ASlot);

  /// The PROXY protocol header the client's load balancer sent, when the server reads one
  /// (TIdTCPServer::ProxyProtocol); nullptr otherwise. Set before the greeting and OnConnect.
  const TIdProxyHeader* ProxyHeader() const noexcept { return FProxyHeader.get(); }
  /// Keeps AValue as ProxyHeader. The peer thread's, before its handlers run.
  void SetProxyHeader(const TIdProxyHeader& AValue);
  /// The client: the address and port of ProxyHeader when it names one (the client behind the
  /// load balancer), else the remote end of the connection's socket. Empty and 0 without a socket
  /// transport. Peer thread.
  const std::string& ClientIP() const;
  int32_t ClientPort() const;
  /// Where the client connected to: the destination of ProxyHeader when it names the client (the
  /// balancer's address), else the local end of the connection's socket. Peer thread.
  const std::string& DestinationIP() const;
  int32_t DestinationPort() const;

private:
  const TIdSocketHandle* Socket() const;
  bool Relayed() const noexcept;

  TIdTCPServer* FServer;                        // not owned
  std::unique_ptr<TIdProxyHeader> FProxyHeader; // owned; only when the server reads one
  std::unique_ptr<TIdAddressSlot> FAddressSlot; // owned; none without a per-address limit
};

/// The thread serving one connection. Made halted by the server's thread manager (through the
/// server's PeerThreadClass), given its connection by the listener, listed in the server's peer
/// registry and started. It ends by itself when the connection closes, reporting every exception
/// through the server's OnException; the end of the client's connection is a quiet end. At the
/// end of its run phase it asks the registry to let it leave.
///
/// \see The guide: \ref guide-state, \ref guide-events.
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
  /// The registry the thread leaves at the end of its run phase; set by the registry when it
  /// lists the thread, before the thread starts. Not owned. The framework's.
  void SetPeerRegistry(TIdPeerRegistry* AValue) noexcept { FRegistry = AValue; }
  /// The thread's place in the registry's list; read and written by the registry under its lock.
  /// The framework's.
  size_t RegistryIndex() const noexcept { return FRegistryIndex; }
  void SetRegistryIndex(size_t AValue) noexcept { FRegistryIndex = AValue; }

protected:
  /// Completes the accept, installs the server intercept's connection intercept, greets the
  /// client and fires OnConnect; stops at once when that closed the connection.
  void BeforeRunPhase() override;
  /// One execute step: command handlers or OnExecute. Connection-ending exceptions are reported
  /// and end the thread quietly; every other exception is reported and ends the thread.
  void RunStep() override;
  /// Fires OnDisconnect (not for a client refused before OnConnect).
  void AfterRunPhase() override;
  /// Retires from the registry (no drop or visit reaches the connection any more), frees the
  /// connection, then leaves the registry, which gives the thread back to the manager.
  void ReleaseData() override;

private:
  bool CompleteAccept();
  void ExecuteStep(TIdTCPServer& AServer);

  std::unique_ptr<TIdTCPServerConnection> FPeerConnection; // owned
  TIdPeerRegistry* FRegistry = nullptr;                    // not owned; outlives the listing
  size_t FRegistryIndex = 0;                               // the registry's, under its lock
  bool FRefused = false; // this phase's client was refused before its handlers ran
};

} // namespace Id
