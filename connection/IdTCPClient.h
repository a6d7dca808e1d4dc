// SPDX-License-Identifier: MIT
// The client connection: a TCP connection that makes its own transport (or uses the one it is
// given), connecting to a host and port with an optional time limit, directly or through a SOCKS
// proxy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/connection/IdSocks.h"
#include "idframework/connection/IdTCPConnection.h"
#include "idframework/runtime/Export.h"

namespace Id {

/// Makes the transport of a client's Connect: a new, unconnected socket transport (plain or
/// TLS, as the factory chooses). Runs on the thread that calls Connect.
using TIdTransportFactory = std::function<std::unique_ptr<TIdIOHandlerSocket>()>;

/// A TIdTCPConnection that needs no transport wired by hand. A Connect that finds no transport
/// set makes one with TransportFactory (a plain socket transport by default), connects it and
/// owns it; the close frees it, and the object can connect again. A transport the caller set
/// with SetIOHandler is never replaced: each Connect connects it as it is (a TLS transport with
/// its context, host name and SOCKS settings), reopening it after a close; one handed over
/// (owned by the connection) is taken over by the client at the Connect, so that closes no
/// longer free it (OwnsIOHandler() is then false), and freed with the client.
/// Thread rule: that of TIdTCPConnection (one thread at a time; CloseConnection from any).
///
/// \see The guide: \ref guide-client, \ref guide-tls-client.
class ID_API TIdTCPClient : public TIdTCPConnection {
public:
  /// Not connected; SocksInfo set to connect directly (svNoSocks); no TransportFactory.
  explicit TIdTCPClient(TComponent* AOwner = nullptr);
  /// Closes an open connection.
  ~TIdTCPClient() override;

  /// Connects to AHost:APort over the transport set or a new one (see the class), closing an
  /// open connection first; ATimeout -1 or 0: the system's wait, else at most ATimeout ms.
  /// Raises EIdSocketError (10061: refused) or, under a limit, EIdConnectTimeout or
  /// EIdConnectException; what the transport raises (a TLS handshake's failures); and
  /// EIdNotConnected when TransportFactory makes no transport.
  void Connect(const std::string& AHost, int32_t APort, int32_t ATimeout = -1);
  /// The SOCKS settings of the next Connect, copied into the transport it makes (a transport
  /// set by the caller keeps its own). Owned.
  TIdSocksInfo& SocksInfo() noexcept { return *FSocksInfo; }
  /// What each Connect that finds no transport set makes its transport with; empty (the
  /// default): a plain TIdIOHandlerSocket. UseTLS (tls/IdTLSClient.h) sets one for TLS.
  const TIdTransportFactory& TransportFactory() const noexcept { return FTransportFactory; }
  void SetTransportFactory(TIdTransportFactory AValue) { FTransportFactory = std::move(AValue); }
  /// The IP versions a host name is connected over by the transports the client makes (a
  /// transport set by the caller keeps its own): vsIPv4 (the default), vsIPv6, or vsBoth, which
  /// races the addresses of both (see TIdIOHandlerSocket::IPVersions).
  TIdIPVersions IPVersions() const noexcept { return FIPVersions; }
  void SetIPVersions(TIdIPVersions AValue) noexcept { FIPVersions = AValue; }
  /// The host given to the last Connect; empty before the first.
  const std::string& Host() const noexcept { return FHost; }
  /// The port given to the last Connect; 0 before the first.
  int32_t Port() const noexcept { return FPort; }

private:
  class TMadeTransport; // knows the transport the client made (see the .cpp)

  TIdIOHandler* KeepGivenTransport();
  void ConnectNewTransport(int32_t ATimeout);

  std::unique_ptr<TIdSocksInfo> FSocksInfo; // owned; copied into each transport made
  TIdTransportFactory FTransportFactory;
  std::unique_ptr<TMadeTransport> FMade; // owned
  // The caller's transport, taken over from the connection so that closes keep it; installed
  // as the IOHandler (not owned by the connection) while the caller leaves it set.
  std::unique_ptr<TIdIOHandler> FGiven;
  TIdIPVersions FIPVersions = TIdIPVersions::vsIPv4;
  std::string FHost;
  int32_t FPort = 0;
};

} // namespace Id
