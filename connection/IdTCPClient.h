// The client connection: a TCP connection that makes its own socket transport, connecting to a
// host and port with an optional time limit, directly or through a SOCKS proxy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "connection/IdSocks.h"
#include "connection/IdTCPConnection.h"
#include "runtime/Export.h"

namespace Id {

/// A TIdTCPConnection that needs no transport wired by hand: each Connect makes a socket
/// transport, connects it and owns it; the close frees it, and the object can connect again.
/// Thread rule: that of TIdTCPConnection (one thread at a time; CloseConnection from any).
class ID_API TIdTCPClient : public TIdTCPConnection {
public:
  /// Not connected; SocksInfo set to connect directly (svNoSocks).
  explicit TIdTCPClient(TComponent* AOwner = nullptr);
  /// Closes an open connection.
  ~TIdTCPClient() override;

  /// Connects to AHost:APort (through SocksInfo's proxy unless svNoSocks), closing an open
  /// connection first; ATimeout -1 or 0: the system's wait, else at most ATimeout ms. Raises
  /// EIdSocketError (10061: refused) or, under a limit, EIdConnectTimeout/EIdConnectException.
  void Connect(const std::string& AHost, int32_t APort, int32_t ATimeout = -1);
  /// The SOCKS settings of the next Connect (copied into its transport). Owned.
  TIdSocksInfo& SocksInfo() noexcept { return *FSocksInfo; }
  /// The host given to the last Connect; empty before the first.
  const std::string& Host() const noexcept { return FHost; }
  /// The port given to the last Connect; 0 before the first.
  int32_t Port() const noexcept { return FPort; }

private:
  std::unique_ptr<TIdSocksInfo> FSocksInfo; // owned; copied into each transport
  std::string FHost;
  int32_t FPort = 0;
};

} // namespace Id
