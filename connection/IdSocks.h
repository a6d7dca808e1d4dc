// SPDX-License-Identifier: MIT
// SOCKS proxy settings of an outgoing socket transport, and the negotiation through the proxy:
// SOCKS 4, its 4A extension, and SOCKS 5 with no authentication or user name and password.
//
// What TIdIOHandlerSocket relies on (keep these when extending the class): Version(), Host(),
// Port(), Assign() of the settings, SetOwnerTransport(), and NegotiateSocks() doing nothing for
// svNoSocks.
#pragma once

#include <cstdint>
#include <string>

#include "idframework/net/IdComponent.h"
#include "idframework/runtime/Export.h"

namespace Id {

class TIdIOHandler;
class TIdIOHandlerSocket;

enum class TSocksVersion { svNoSocks = 0, svSocks4 = 1, svSocks4A = 2, svSocks5 = 3 };
enum class TSocksAuthentication { saNoAuthentication = 0, saUsernamePassword = 1 };

/// Proxy settings held by a socket transport (its SocksInfo), and the client side of the SOCKS
/// exchange over that transport's freshly connected socket. Keeps no negotiation state; used on
/// the thread that connects the transport, without locks.
///
/// Every negotiation raises an EIdSocksError descendant for what the proxy refuses, and
/// EIdSocksInvalidValue, before any byte is sent, for a request that cannot be expressed:
/// a host name, user name, user id or password over 255 bytes, a NUL byte inside a SOCKS 4
/// user id or SOCKS 4A host name, a port outside 0..65535, or an IPv6 destination address for
/// SOCKS 4 or 4A.
class ID_API TIdSocksInfo : public TIdComponent {
public:
  /// Defaults: saNoAuthentication, empty Host, Password and Username, Port 1080, svNoSocks.
  explicit TIdSocksInfo(TComponent* AOwner);

  /// SOCKS 5 method to offer.
  TSocksAuthentication Authentication() const noexcept { return FAuthentication; }
  void SetAuthentication(TSocksAuthentication AValue) noexcept { FAuthentication = AValue; }
  /// The proxy's host name or address.
  const std::string& Host() const noexcept { return FHost; }
  void SetHost(const std::string& AValue) { FHost = AValue; }
  /// SOCKS 5 password (user name and password method).
  const std::string& Password() const noexcept { return FPassword; }
  void SetPassword(const std::string& AValue) { FPassword = AValue; }
  /// The proxy's TCP port; 1080 by default.
  int32_t Port() const noexcept { return FPort; }
  void SetPort(int32_t AValue) noexcept { FPort = AValue; }
  /// SOCKS 4 user id; SOCKS 5 user name.
  const std::string& Username() const noexcept { return FUsername; }
  void SetUsername(const std::string& AValue) { FUsername = AValue; }
  /// The protocol to speak; svNoSocks connects directly.
  TSocksVersion Version() const noexcept { return FVersion; }
  void SetVersion(TSocksVersion AValue) noexcept { FVersion = AValue; }

  /// The transport the (host, port) negotiations talk through; not owned, set by the transport
  /// these settings are attached to (the last one, when several share them).
  TIdIOHandlerSocket* OwnerTransport() const noexcept { return FOwnerTransport; }
  void SetOwnerTransport(TIdIOHandlerSocket* AValue) noexcept { FOwnerTransport = AValue; }

  /// Copies the six settings, not OwnerTransport.
  virtual void Assign(const TIdSocksInfo& ASource);

  /// Asks the proxy, over the connected socket of OwnerTransport, for a tunnel to AHost:APort:
  /// NegotiateSocks4 for svSocks4 and svSocks4A, NegotiateSocks5 for svSocks5, nothing for
  /// svNoSocks. On return the socket is the tunnel. Raises the failure's exception;
  /// EIdClosedSocket "Disconnected." when there is no OwnerTransport.
  virtual void NegotiateSocks(const std::string& AHost, int32_t APort);
  /// The same exchange over ATransport, whatever OwnerTransport is: what a transport uses for its
  /// own connect, so settings shared by several transports always talk through the right one.
  void NegotiateSocks(TIdIOHandler& ATransport, const std::string& AHost, int32_t APort);
  /// SOCKS 4 (target resolved here) or 4A (target name resolved by the proxy). Send and receive
  /// failures propagate as they are: EIdSocketError, EIdClosedSocket, or EIdConnClosedGracefully
  /// when the proxy closes before its 8-byte reply is complete.
  virtual void NegotiateSocks4(const std::string& AHost, int32_t APort);
  /// SOCKS 5, CONNECT by domain name, or by address for an IPv6 address text (address type 4,
  /// without its scope). Any failed receive raises EIdSocksServerRespondError
  /// "Socks server did not respond."; send failures propagate as they are.
  virtual void NegotiateSocks5(const std::string& AHost, int32_t APort);

protected:
  /// The two exchanges over a given transport; the virtual operations above call them with
  /// OwnerTransport.
  void DoNegotiateSocks4(TIdIOHandler& ATransport, const std::string& AHost, int32_t APort);
  void DoNegotiateSocks5(TIdIOHandler& ATransport, const std::string& AHost, int32_t APort);

private:
  TIdIOHandler& RequireOwnerTransport() const;

  TSocksAuthentication FAuthentication = TSocksAuthentication::saNoAuthentication;
  std::string FHost;
  std::string FPassword;
  int32_t FPort = 1080;
  std::string FUsername;
  TSocksVersion FVersion = TSocksVersion::svNoSocks;
  TIdIOHandlerSocket* FOwnerTransport = nullptr; // not owned; set by the holding transport
};

} // namespace Id
