// SPDX-License-Identifier: MIT
// The exception tree of the framework: one line per class, its parent and its fixed text.
#pragma once

#include <cstdint>
#include <string>

#include "idframework/core/IdResourceStrings.h"
#include "idframework/runtime/Export.h"
#include "idframework/runtime/SysUtils.h"

namespace Id {

#define ID_EXCEPTION(Name, Parent, Text)                                                           \
  class ID_API Name : public Parent {                                                              \
  public:                                                                                          \
    explicit Name(std::string AMessage = Text) : Parent(std::move(AMessage)) {}                    \
  }

ID_EXCEPTION(EIdException, Exception, "");
ID_EXCEPTION(EIdSilentException, EIdException, "");
ID_EXCEPTION(EIdConnClosedGracefully, EIdSilentException, RS::RSConnectionClosedGracefully);
ID_EXCEPTION(EIdClosedSocket, EIdException, RS::RSStatusDisconnected);
ID_EXCEPTION(EIdReadTimeout, EIdException, RS::RSReadTimeout);
/// A line that began to arrive was not complete within the connection's LineTimeout.
ID_EXCEPTION(EIdLineTimeout, EIdReadTimeout, RS::RSLineTimeout);
/// Nothing arrived within the connection's IdleTimeout while no input was waiting.
ID_EXCEPTION(EIdIdleTimeout, EIdReadTimeout, RS::RSIdleTimeout);
/// A send took nothing within the connection's WriteTimeout; the connection was closed.
ID_EXCEPTION(EIdWriteTimeout, EIdException, RS::RSWriteTimeout);
ID_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException, RS::RSReadLnMaxLineLengthExceeded);
ID_EXCEPTION(EIdInvalidServiceName, EIdException, "");
ID_EXCEPTION(EIdConnectTimeout, EIdException, RS::RSConnectTimeout);

/// A connect under a time limit that failed; the message is the failure's text.
class ID_API EIdConnectException : public EIdException {
public:
  /// ASocketErrorCode: the Windows Sockets number of the failure, 0 when it had none.
  explicit EIdConnectException(std::string AMessage = "", int32_t ASocketErrorCode = 0)
      : EIdException(std::move(AMessage)), FSocketErrorCode(ASocketErrorCode) {}
  /// The failure's Windows Sockets error number (10061 refused, 10065 no route, 10060 timed out
  /// by the system), as EIdSocketError carries it for a connect without a limit; 0 when none.
  int32_t SocketErrorCode() const noexcept { return FSocketErrorCode; }

private:
  int32_t FSocketErrorCode;
};

ID_EXCEPTION(EIdSocksError, EIdException, "");
ID_EXCEPTION(EIdSocksRequestFailed, EIdSocksError, RS::RSSocksRequestFailed);
ID_EXCEPTION(EIdSocksRequestServerFailed, EIdSocksError, RS::RSSocksRequestServerFailed);
ID_EXCEPTION(EIdSocksRequestIdentFailed, EIdSocksError, RS::RSSocksRequestIdentFailed);
ID_EXCEPTION(EIdSocksUnknownError, EIdSocksError, RS::RSSocksUnknownError);
ID_EXCEPTION(EIdSocksServerRespondError, EIdSocksError, RS::RSSocksServerRespondError);
ID_EXCEPTION(EIdSocksAuthMethodError, EIdSocksError, RS::RSSocksAuthMethodError);
ID_EXCEPTION(EIdSocksAuthError, EIdSocksError, RS::RSSocksAuthError);
ID_EXCEPTION(EIdSocksServerGeneralError, EIdSocksError, RS::RSSocksServerGeneralError);
ID_EXCEPTION(EIdSocksServerPermissionError, EIdSocksError, RS::RSSocksServerPermissionError);
ID_EXCEPTION(EIdSocksServerNetUnreachableError, EIdSocksError,
             RS::RSSocksServerNetUnreachableError);
ID_EXCEPTION(EIdSocksServerHostUnreachableError, EIdSocksError,
             RS::RSSocksServerHostUnreachableError);
ID_EXCEPTION(EIdSocksServerConnectionRefusedError, EIdSocksError,
             RS::RSSocksServerConnectionRefusedError);
ID_EXCEPTION(EIdSocksServerTTLExpiredError, EIdSocksError, RS::RSSocksServerTTLExpiredError);
ID_EXCEPTION(EIdSocksServerCommandError, EIdSocksError, RS::RSSocksServerCommandError);
ID_EXCEPTION(EIdSocksServerAddressError, EIdSocksError, RS::RSSocksServerAddressError);
/// A SOCKS request that cannot be expressed on the wire (a field over 255 bytes, a NUL inside a
/// NUL-terminated field, a port outside 0..65535); raised before anything is sent.
ID_EXCEPTION(EIdSocksInvalidValue, EIdSocksError, "");
/// A SOCKS 5 reply whose address type is none of 1, 3 and 4, so its length is unknown.
ID_EXCEPTION(EIdSocksUnknownAddressType, EIdSocksError, "");

ID_EXCEPTION(EIdInvalidSocket, EIdException, RS::RSCannotAllocateSocket);
ID_EXCEPTION(EIdSocketHandleError, EIdException, "");
ID_EXCEPTION(EIdCouldNotBindSocket, EIdSocketHandleError, RS::RSCouldNotBindSocket);
ID_EXCEPTION(EIdCanNotBindPortInRange, EIdSocketHandleError, "");
ID_EXCEPTION(EIdInvalidPortRange, EIdSocketHandleError, "");
ID_EXCEPTION(EIdStackError, EIdException, "");
ID_EXCEPTION(EIdStackInitializationFailed, EIdStackError, RS::RSWinsockInitializationError);
ID_EXCEPTION(EIdStackSetSizeExceeded, EIdStackError, RS::RSSetSizeExceeded);

ID_EXCEPTION(EIdTCPConnectionError, EIdException, "");
ID_EXCEPTION(EIdNotEnoughDataInBuffer, EIdTCPConnectionError, RS::RSNotEnoughDataInBuffer);
ID_EXCEPTION(EIdNoDataToRead, EIdTCPConnectionError, RS::RSNoDataToRead);
ID_EXCEPTION(EIdNotConnected, EIdTCPConnectionError, RS::RSNotConnected);
ID_EXCEPTION(EIdFileNotFound, EIdTCPConnectionError, "");

ID_EXCEPTION(EIdTCPServerError, EIdException, RS::RSNoCommandHandlerFound);
ID_EXCEPTION(EIdNoExecuteSpecified, EIdTCPServerError, RS::RSNoExecuteSpecified);
ID_EXCEPTION(EIdTerminateThreadTimeout, EIdTCPServerError, RS::RSTerminateThreadTimeout);

ID_EXCEPTION(EIdThreadException, EIdException, "");
ID_EXCEPTION(EIdThreadTerminateAndWaitFor, EIdThreadException, RS::RSThreadTerminateAndWaitFor);
/// The system refused a new thread (a thread, process or memory limit); the text holds its reason.
ID_EXCEPTION(EIdCouldNotCreateThread, EIdThreadException, "");
ID_EXCEPTION(EIdThreadMgrError, EIdException, "");
ID_EXCEPTION(EIdThreadClassNotSpecified, EIdThreadMgrError, RS::RSThreadClassNotSpecified);

/// A PROXY protocol header that is absent, invalid, cut short or late: the connection it came on
/// cannot be served.
ID_EXCEPTION(EIdProxyProtocolError, EIdException, "");
ID_EXCEPTION(EIdProxyHeaderMissing, EIdProxyProtocolError, RS::RSProxyHeaderMissing);
ID_EXCEPTION(EIdProxyHeaderMalformed, EIdProxyProtocolError, "");
ID_EXCEPTION(EIdProxyHeaderTooLong, EIdProxyProtocolError, "");
ID_EXCEPTION(EIdProxyHeaderTruncated, EIdProxyProtocolError, RS::RSProxyHeaderTruncated);
ID_EXCEPTION(EIdProxyHeaderTimeout, EIdProxyProtocolError, RS::RSProxyHeaderTimeout);
/// Sockets or settings handed over by the service manager that cannot be used.
ID_EXCEPTION(EIdSystemdError, EIdException, "");

#undef ID_EXCEPTION

/// A failed socket call; carries the Windows Sockets error number.
class ID_API EIdSocketError : public EIdException {
public:
  /// AMessage is the stack's text for ASocketErrorCode.
  EIdSocketError(int32_t ASocketErrorCode, std::string AMessage)
      : EIdException(std::move(AMessage)), FSocketErrorCode(ASocketErrorCode) {}
  /// The Windows Sockets error number (10054 for a reset, 10061 for a refusal).
  int32_t SocketErrorCode() const noexcept { return FSocketErrorCode; }

private:
  int32_t FSocketErrorCode;
};

/// A protocol reply whose code was not accepted; the message is the reply's text lines.
class ID_API EIdProtocolReplyError : public EIdException {
public:
  /// AMessage holds the reply's lines.
  EIdProtocolReplyError(int32_t AReplyCode, std::string AMessage)
      : EIdException(std::move(AMessage)), FReplyCode(AReplyCode) {}
  /// The code of the reply that was not accepted.
  int32_t ReplyCode() const noexcept { return FReplyCode; }

private:
  int32_t FReplyCode;
};

/// Helpers for the texts with placeholders.
inline EIdInvalidServiceName MakeInvalidServiceName(const std::string& AName) {
  return EIdInvalidServiceName(Format(RS::RSInvalidServiceName, {AName}));
}
inline EIdFileNotFound MakeFileNotFound(const std::string& AFileName) {
  return EIdFileNotFound(Format(RS::RSFileNotFound, {AFileName}));
}
inline EIdCouldNotCreateThread MakeCouldNotCreateThread(const std::string& AReason) {
  return EIdCouldNotCreateThread(Format(RS::RSCouldNotCreateThread, {AReason}));
}
inline EIdCanNotBindPortInRange MakeCanNotBindPortInRange(int32_t ALow, int32_t AHigh) {
  return EIdCanNotBindPortInRange(
      Format(RS::RSCanNotBindPortInRange, {int64_t(ALow), int64_t(AHigh)}));
}
/// A malformed PROXY protocol header; AReason is one of the RSProxyBad* texts.
inline EIdProxyHeaderMalformed MakeProxyHeaderMalformed(const char* AReason) {
  return EIdProxyHeaderMalformed(Format(RS::RSProxyHeaderMalformed, {std::string(AReason)}));
}
inline EIdProxyHeaderTooLong MakeProxyHeaderTooLong(int32_t ALimit) {
  return EIdProxyHeaderTooLong(Format(RS::RSProxyHeaderTooLong, {int64_t(ALimit)}));
}
inline EIdInvalidPortRange MakeInvalidPortRange(int32_t ALow, int32_t AHigh) {
  return EIdInvalidPortRange(Format(RS::RSInvalidPortRange, {int64_t(ALow), int64_t(AHigh)}));
}

} // namespace Id
