// SPDX-License-Identifier: MIT
// Plain loopback TCP sockets for the tests' own peers, independent of the stack under test:
// BSD sockets on Linux (RawSocketPosix.h), Windows Sockets on Windows (RawSocketWindows.h).
// Every function works on 127.0.0.1 only and reports failure by its result, never by raising.
#pragma once

#include <cstddef>
#include <cstdint>

namespace IdTest::Raw {

/// A socket of the platform; NoSocket when none.
using TFd = int;
inline constexpr TFd NoSocket = -1;

/// A new IPv4 stream socket, or NoSocket.
inline TFd Socket();
/// Connects to 127.0.0.1:APort (blocking); false when refused or failed.
inline bool Connect(TFd AFd, int32_t APort);
/// Binds to 127.0.0.1:APort (0: a port chosen by the platform) and listens.
inline bool Listen(TFd AFd, int32_t APort, int ABacklog);
/// The local port of a bound socket; 0 on failure.
inline int32_t LocalPort(TFd AFd);
/// Accepts one pending connection; NoSocket on failure.
inline TFd Accept(TFd AFd);
/// Sends up to ALength bytes; the count sent, or -1 on failure (never a signal).
inline long Send(TFd AFd, const char* AData, size_t ALength);
/// Receives up to ALength bytes; the count, 0 at the peer's close, -1 on failure.
inline long Receive(TFd AFd, char* ABuffer, size_t ALength);
/// 1 when AFd is readable (data, a close or a pending connection) within AMs milliseconds,
/// 0 when the time passed, -1 on failure.
inline int WaitReadable(TFd AFd, int AMs);
/// The graceful close of the sending side.
inline void ShutdownWrite(TFd AFd);
/// Closes with a reset (linger on, timeout 0).
inline void CloseWithReset(TFd AFd);
inline void Close(TFd AFd);

} // namespace IdTest::Raw

#ifdef _WIN32
#include "support/RawSocketWindows.h"
#else
#include "support/RawSocketPosix.h"
#endif
