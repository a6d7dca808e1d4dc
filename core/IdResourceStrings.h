// SPDX-License-Identifier: MIT
// Every fixed message text of the framework. Texts are exact, character for character.
#pragma once

namespace Id::RS {

inline constexpr const char* RSOnlyOneAntiFreeze =
    "Only one TIdAntiFreeze can exist per application.";
inline constexpr const char* RSConnectionClosedGracefully = "Connection Closed Gracefully.";
inline constexpr const char* RSStatusDisconnected = "Disconnected.";
inline constexpr const char* RSReadTimeout = "Read Timeout";
inline constexpr const char* RSWriteTimeout = "Write timed out: the peer took nothing in time.";
inline constexpr const char* RSLineTimeout = "Line not complete in time.";
inline constexpr const char* RSIdleTimeout = "Connection idle too long.";
inline constexpr const char* RSReadLnMaxLineLengthExceeded = "Max line length exceeded.";
inline constexpr const char* RSInvalidServiceName = "%s is not a valid service.";
inline constexpr const char* RSConnectTimeout = "Connect timed out.";
inline constexpr const char* RSSocksRequestFailed = "Request rejected or failed.";
inline constexpr const char* RSSocksRequestServerFailed =
    "Request rejected because SOCKS server cannot connect.";
inline constexpr const char* RSSocksRequestIdentFailed =
    "Request rejected because the client program and identd report different user-ids.";
inline constexpr const char* RSSocksUnknownError = "Unknown socks error.";
inline constexpr const char* RSSocksServerRespondError = "Socks server did not respond.";
inline constexpr const char* RSSocksAuthMethodError = "Invalid socks authentication method.";
inline constexpr const char* RSSocksAuthError = "Authentication error to socks server.";
inline constexpr const char* RSSocksServerGeneralError = "General SOCKS server failure.";
inline constexpr const char* RSSocksServerPermissionError = "Connection not allowed by ruleset.";
inline constexpr const char* RSSocksServerNetUnreachableError = "Network unreachable.";
inline constexpr const char* RSSocksServerHostUnreachableError = "Host unreachable.";
inline constexpr const char* RSSocksServerConnectionRefusedError = "Connection refused.";
inline constexpr const char* RSSocksServerTTLExpiredError = "TTL expired.";
inline constexpr const char* RSSocksServerCommandError = "Command not supported.";
inline constexpr const char* RSSocksServerAddressError = "Address type not supported.";
inline constexpr const char* RSSocksValueTooLong = "The socks %s is longer than 255 bytes.";
inline constexpr const char* RSSocksValueHasNul = "The socks %s contains a NUL byte.";
inline constexpr const char* RSSocksPortOutOfRange =
    "The socks destination port %d is out of range.";
inline constexpr const char* RSSocks4IPv6Destination =
    "SOCKS 4 cannot carry the IPv6 destination %s.";
inline constexpr const char* RSSocksUnknownAddressType =
    "Socks server replied with unknown address type %d.";
inline constexpr const char* RSCannotAllocateSocket = "Cannot allocate socket.";
inline constexpr const char* RSStackError = "Socket Error # %d\r\n%s";
inline constexpr const char* RSCouldNotBindSocket =
    "Could not bind socket. Address and port are already in use.";
inline constexpr const char* RSCanNotBindPortInRange = "Can not bind in port range (%d - %d)";
inline constexpr const char* RSInvalidPortRange = "Invalid Port Range (%d - %d)";
inline constexpr const char* RSWinsockInitializationError = "Winsock Initialization Error.";
inline constexpr const char* RSSetSizeExceeded = "Set Size Exceeded.";
inline constexpr const char* RSNotEnoughDataInBuffer = "Not enough data in buffer.";
inline constexpr const char* RSNoDataToRead = "No data to read.";
inline constexpr const char* RSNotConnected = "Not Connected";
inline constexpr const char* RSFileNotFound = "File \"%s\" not found";
inline constexpr const char* RSNoCommandHandlerFound = "No command handler found.";
inline constexpr const char* RSNoExecuteSpecified = "No execute handler found.";
inline constexpr const char* RSTerminateThreadTimeout = "Terminate Thread Timeout";
inline constexpr const char* RSServerDestroyedOnOwnPeer =
    "Cannot destroy a server on one of its own peer threads";
inline constexpr const char* RSThreadTerminateAndWaitFor =
    "Cannot call TerminateAndWaitFor on FreeAndTerminate threads";
inline constexpr const char* RSThreadClassNotSpecified = "Thread Class Not Specified.";
inline constexpr const char* RSCouldNotCreateThread = "Could not create thread: %s";
inline constexpr const char* RSWS2LoadError = "Error on loading Winsock2 library (%s)";
inline constexpr const char* RSWS2CallError = "Error on call Winsock2 library function %s";
inline constexpr const char* RSHostNotFound = "Host not found.";

// The PROXY protocol header in front of a client's bytes.
inline constexpr const char* RSProxyHeaderMissing = "No PROXY protocol header.";
inline constexpr const char* RSProxyHeaderMalformed = "Malformed PROXY protocol header: %s.";
inline constexpr const char* RSProxyHeaderTooLong = "PROXY protocol header longer than %d bytes.";
inline constexpr const char* RSProxyHeaderTruncated = "PROXY protocol header cut short.";
inline constexpr const char* RSProxyHeaderTimeout = "PROXY protocol header not received in time.";
// What is wrong with a malformed header (the %s of RSProxyHeaderMalformed).
inline constexpr const char* RSProxyBadVersion = "unknown version";
inline constexpr const char* RSProxyBadCommand = "unknown command";
inline constexpr const char* RSProxyBadFamily = "unknown address family";
inline constexpr const char* RSProxyBadLength = "address block too short";
inline constexpr const char* RSProxyBadTLV = "bad TLV";
inline constexpr const char* RSProxyBadChecksum = "checksum mismatch";
inline constexpr const char* RSProxyBadLineEnd = "bad line end";
inline constexpr const char* RSProxyBadFields = "bad fields";
inline constexpr const char* RSProxyBadAddress = "bad address";
inline constexpr const char* RSProxyBadPort = "bad port";

// The service manager's environment and notification socket.
inline constexpr const char* RSSystemdBadVariable = "Invalid %s from the service manager.";
inline constexpr const char* RSSystemdNotListening =
    "Descriptor %d from the service manager is not a listening TCP socket.";
inline constexpr const char* RSSystemdBadNotifySocket = "Invalid NOTIFY_SOCKET \"%s\".";

// Default texts of the status values, in the order of TIdStatus.
inline constexpr const char* RSStatusResolving = "Resolving hostname %s.";
inline constexpr const char* RSStatusConnecting = "Connecting to %s.";
inline constexpr const char* RSStatusConnected = "Connected.";
inline constexpr const char* RSStatusDisconnecting = "Disconnecting.";
inline constexpr const char* RSStatusText = "%s";

} // namespace Id::RS
