// SPDX-License-Identifier: MIT
#include "idframework/connection/IdSocks.h"

#include <cstddef>

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/core/IdException.h"
#include "idframework/net/IdStack.h"

namespace Id {

namespace {

constexpr uint8_t Socks4Version = 4;
constexpr uint8_t Socks5Version = 5;
constexpr uint8_t CommandConnect = 1;
constexpr uint8_t Socks4Granted = 90;
constexpr uint8_t MethodNoAuthentication = 0;
constexpr uint8_t MethodUsernamePassword = 2;
constexpr uint8_t UsernamePasswordVersion = 1;
constexpr uint8_t AddressIPv4 = 1;
constexpr uint8_t AddressDomainName = 3;
constexpr uint8_t AddressIPv6 = 4;
// Every variable field of a request must fit behind a one-byte length (SOCKS 5); SOCKS 4's
// NUL-terminated fields keep the same bound so no request ever grows without limit.
constexpr std::size_t MaxFieldLength = 255;

// Request validation: everything is checked before the first byte leaves, so a refused value
// never leaves a half-sent request on the proxy's socket.
// How a field travels: ended by a NUL (SOCKS 4) or after its length byte (SOCKS 5).
enum class TFieldForm { NulTerminated, LengthPrefixed };

void CheckField(const std::string& AValue, const char* AFieldName, TFieldForm AForm) {
  if (AValue.size() > MaxFieldLength)
    throw EIdSocksInvalidValue(Format(RS::RSSocksValueTooLong, {std::string(AFieldName)}));
  // Inside a NUL-terminated field a NUL would end it early and let the rest be read as the
  // next field.
  if (AForm == TFieldForm::NulTerminated && AValue.find('\0') != std::string::npos)
    throw EIdSocksInvalidValue(Format(RS::RSSocksValueHasNul, {std::string(AFieldName)}));
}

void CheckPort(int32_t APort) {
  if (APort < 0 || APort > 0xFFFF)
    throw EIdSocksInvalidValue(Format(RS::RSSocksPortOutOfRange, {int64_t(APort)}));
}

void AppendPort(std::string& ARequest, int32_t APort) {
  ARequest += static_cast<char>((APort >> 8) & 0xFF);
  ARequest += static_cast<char>(APort & 0xFF);
}

void AppendLengthAndBytes(std::string& ARequest, const std::string& AValue) {
  ARequest += static_cast<char>(AValue.size());
  ARequest += AValue;
}

// Sends the whole request, as many send calls as the transport needs.
void SendAll(TIdIOHandler& ATransport, const std::string& ARequest) {
  std::size_t Sent = 0;
  while (Sent < ARequest.size()) {
    const int32_t N =
        ATransport.SendBytes(ARequest.data() + Sent, static_cast<int32_t>(ARequest.size() - Sent));
    GlobalStack()->CheckSocketResult(N);
    // A stream socket that takes nothing will take nothing next time either.
    if (N <= 0) throw EIdClosedSocket();
    Sent += static_cast<std::size_t>(N);
  }
}

// Reads exactly ALength bytes, however the proxy splits them. An orderly close before the end is
// the connection's own closed error.
void ReceiveExact(TIdIOHandler& ATransport, uint8_t* ABuffer, std::size_t ALength) {
  std::size_t Received = 0;
  while (Received < ALength) {
    const int32_t N =
        ATransport.ReceiveBytes(ABuffer + Received, static_cast<int32_t>(ALength - Received));
    GlobalStack()->CheckSocketResult(N);
    if (N <= 0) throw EIdConnClosedGracefully();
    Received += static_cast<std::size_t>(N);
  }
}

// SOCKS 5 reports every failed read, whatever its cause, as a proxy that did not respond.
void ReceiveSocks5(TIdIOHandler& ATransport, uint8_t* ABuffer, std::size_t ALength) {
  try {
    ReceiveExact(ATransport, ABuffer, ALength);
  } catch (const Exception&) {
    throw EIdSocksServerRespondError();
  }
}

void Socks5SelectMethod(TIdIOHandler& ATransport, uint8_t AMethod) {
  SendAll(ATransport, std::string{char(Socks5Version), char(1), char(AMethod)});
  uint8_t Reply[2];
  ReceiveSocks5(ATransport, Reply, sizeof(Reply));
  // Also catches the refusal value 255: no acceptable method.
  if (Reply[1] != AMethod) throw EIdSocksAuthMethodError();
}

void Socks5Authenticate(TIdIOHandler& ATransport, const std::string& AUsername,
                        const std::string& APassword) {
  std::string Request(1, char(UsernamePasswordVersion));
  AppendLengthAndBytes(Request, AUsername);
  AppendLengthAndBytes(Request, APassword);
  SendAll(ATransport, Request);
  uint8_t Reply[2];
  ReceiveSocks5(ATransport, Reply, sizeof(Reply));
  if (Reply[1] != 0) throw EIdSocksAuthError();
}

[[noreturn]] void RaiseSocks4Reply(uint8_t ACode) {
  switch (ACode) {
  case 91:
    throw EIdSocksRequestFailed();
  case 92:
    throw EIdSocksRequestServerFailed();
  case 93:
    throw EIdSocksRequestIdentFailed();
  default:
    throw EIdSocksUnknownError();
  }
}

[[noreturn]] void RaiseSocks5Reply(uint8_t ACode) {
  switch (ACode) {
  case 1:
    throw EIdSocksServerGeneralError();
  case 2:
    throw EIdSocksServerPermissionError();
  case 3:
    throw EIdSocksServerNetUnreachableError();
  case 4:
    throw EIdSocksServerHostUnreachableError();
  case 5:
    throw EIdSocksServerConnectionRefusedError();
  case 6:
    throw EIdSocksServerTTLExpiredError();
  case 7:
    throw EIdSocksServerCommandError();
  case 8:
    throw EIdSocksServerAddressError();
  default:
    throw EIdSocksUnknownError();
  }
}

// Bytes of a SOCKS 5 reply after its first five, from the address type and the fifth byte.
std::size_t Socks5ReplyRest(uint8_t AAddressType, uint8_t AFifthByte) {
  switch (AAddressType) {
  case AddressIPv4:
    return 3 + 2;
  case AddressDomainName:
    return std::size_t(AFifthByte) + 2;
  case AddressIPv6:
    return 15 + 2;
  default:
    throw EIdSocksUnknownAddressType(
        Format(RS::RSSocksUnknownAddressType, {int64_t(AAddressType)}));
  }
}

// The destination: an IPv6 address text as its 16 bytes (a scope does not travel: it names an
// interface of this host); anything else as a domain name, even a dotted IPv4 address, which
// the proxy resolves.
void AppendSocks5Destination(std::string& ARequest, const std::string& AHost) {
  if (!TIdStack::IsIPv6AddressText(AHost)) {
    ARequest += char(AddressDomainName);
    AppendLengthAndBytes(ARequest, AHost);
    return;
  }
  TIdIPv6Bytes Address{};
  std::string Scope;
  TIdStack::ParseIPv6AddressText(AHost, Address, Scope);
  ARequest += char(AddressIPv6);
  ARequest.append(reinterpret_cast<const char*>(Address.data()), Address.size());
}

void Socks5Connect(TIdIOHandler& ATransport, const std::string& AHost, int32_t APort) {
  std::string Request{char(Socks5Version), char(CommandConnect), char(0)};
  AppendSocks5Destination(Request, AHost);
  AppendPort(Request, APort);
  SendAll(ATransport, Request);

  // Version, code, reserved, address type and the first address byte (a name's length).
  uint8_t Reply[5 + 255 + 2];
  ReceiveSocks5(ATransport, Reply, 5);
  if (Reply[1] != 0) RaiseSocks5Reply(Reply[1]);
  // The bound address and port are of no use to a CONNECT client: read past them so the next
  // byte is the target's.
  ReceiveSocks5(ATransport, Reply + 5, Socks5ReplyRest(Reply[3], Reply[4]));
}

} // namespace

TIdSocksInfo::TIdSocksInfo(TComponent* AOwner) : TIdComponent(AOwner) {}

void TIdSocksInfo::Assign(const TIdSocksInfo& ASource) {
  FAuthentication = ASource.FAuthentication;
  FHost = ASource.FHost;
  FPassword = ASource.FPassword;
  FPort = ASource.FPort;
  FUsername = ASource.FUsername;
  FVersion = ASource.FVersion;
}

TIdIOHandler& TIdSocksInfo::RequireOwnerTransport() const {
  if (!FOwnerTransport) throw EIdClosedSocket();
  return *FOwnerTransport;
}

void TIdSocksInfo::NegotiateSocks(const std::string& AHost, int32_t APort) {
  switch (FVersion) {
  case TSocksVersion::svSocks4:
  case TSocksVersion::svSocks4A:
    NegotiateSocks4(AHost, APort);
    break;
  case TSocksVersion::svSocks5:
    NegotiateSocks5(AHost, APort);
    break;
  case TSocksVersion::svNoSocks:
    break;
  }
}

void TIdSocksInfo::NegotiateSocks(TIdIOHandler& ATransport, const std::string& AHost,
                                  int32_t APort) {
  switch (FVersion) {
  case TSocksVersion::svSocks4:
  case TSocksVersion::svSocks4A:
    DoNegotiateSocks4(ATransport, AHost, APort);
    break;
  case TSocksVersion::svSocks5:
    DoNegotiateSocks5(ATransport, AHost, APort);
    break;
  case TSocksVersion::svNoSocks:
    break;
  }
}

void TIdSocksInfo::NegotiateSocks4(const std::string& AHost, int32_t APort) {
  DoNegotiateSocks4(RequireOwnerTransport(), AHost, APort);
}

void TIdSocksInfo::NegotiateSocks5(const std::string& AHost, int32_t APort) {
  DoNegotiateSocks5(RequireOwnerTransport(), AHost, APort);
}

void TIdSocksInfo::DoNegotiateSocks4(TIdIOHandler& ATransport, const std::string& AHost,
                                     int32_t APort) {
  const bool Is4A = FVersion == TSocksVersion::svSocks4A;
  CheckPort(APort);
  if (TIdStack::IsIPv6AddressText(AHost))
    throw EIdSocksInvalidValue(Format(RS::RSSocks4IPv6Destination, {AHost}));
  CheckField(FUsername, "user id", TFieldForm::NulTerminated);
  if (Is4A) CheckField(AHost, "host name", TFieldForm::NulTerminated);

  // SOCKS 4A hands the name to the proxy behind the marker address 0.0.0.1; plain SOCKS 4 only
  // carries an address, so the name is resolved here and never reaches the proxy.
  TIdIPv4Bytes Address{};
  GlobalStack()->ParseAddressText(Is4A ? std::string("0.0.0.1") : GlobalStack()->LookupHost(AHost),
                                  Address);

  std::string Request;
  Request += static_cast<char>(Socks4Version);
  Request += static_cast<char>(CommandConnect);
  AppendPort(Request, APort);
  Request.append(reinterpret_cast<const char*>(Address.data()), Address.size());
  Request += FUsername;
  Request += '\0';
  if (Is4A) {
    Request += AHost;
    Request += '\0';
  }
  SendAll(ATransport, Request);

  uint8_t Reply[8];
  ReceiveExact(ATransport, Reply, sizeof(Reply));
  if (Reply[1] != Socks4Granted) RaiseSocks4Reply(Reply[1]);
}

void TIdSocksInfo::DoNegotiateSocks5(TIdIOHandler& ATransport, const std::string& AHost,
                                     int32_t APort) {
  const bool WithPassword = FAuthentication == TSocksAuthentication::saUsernamePassword;
  CheckPort(APort);
  CheckField(AHost, "host name", TFieldForm::LengthPrefixed);
  if (WithPassword) {
    CheckField(FUsername, "user name", TFieldForm::LengthPrefixed);
    CheckField(FPassword, "password", TFieldForm::LengthPrefixed);
  }
  Socks5SelectMethod(ATransport, WithPassword ? MethodUsernamePassword : MethodNoAuthentication);
  if (WithPassword) Socks5Authenticate(ATransport, FUsername, FPassword);
  Socks5Connect(ATransport, AHost, APort);
}

} // namespace Id
