// SPDX-License-Identifier: MIT
// The Linux service manager (systemd), spoken to without its library: the listening sockets it
// hands to a service (socket activation), and what the service tells it (ready, stopping, the
// watchdog's keep-alive). Elsewhere there is no service manager: nothing is handed over and
// nothing is told.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "idframework/net/IdStack.h"
#include "idframework/runtime/Export.h"

namespace Id {

/// One listening TCP socket handed over by the service manager. Owns its descriptor, and closes
/// it when destroyed, until Release hands it on. Move-only; one thread at a time.
class ID_API TIdActivatedSocket {
public:
  /// Takes ADescriptor over, with what is known of it.
  TIdActivatedSocket(TIdSocketDescriptor ADescriptor, std::string AName, bool AIPv6,
                     std::string AIP, int32_t APort);
  /// Closes the descriptor unless it was released.
  ~TIdActivatedSocket();
  /// Takes the descriptor over from AOther, which holds none afterwards.
  TIdActivatedSocket(TIdActivatedSocket&& AOther) noexcept;
  /// Closes its own descriptor, then takes AOther's over.
  TIdActivatedSocket& operator=(TIdActivatedSocket&& AOther) noexcept;
  TIdActivatedSocket(const TIdActivatedSocket&) = delete;
  TIdActivatedSocket& operator=(const TIdActivatedSocket&) = delete;

  /// The descriptor; InvalidSocketDescriptor once released.
  TIdSocketDescriptor Descriptor() const noexcept { return FDescriptor; }
  /// Its name in LISTEN_FDNAMES (a socket unit's FileDescriptorName=), "unknown" without names.
  const std::string& Name() const noexcept { return FName; }
  /// True for an IPv6 socket.
  bool IsIPv6() const noexcept { return FIPv6; }
  /// The address it is bound to, as the stack reads a socket's address: dotted IPv4, or IPv6 in
  /// the recommended form ("0.0.0.0" or "::" for any address).
  const std::string& IP() const noexcept { return FIP; }
  /// The port it is bound to.
  int32_t Port() const noexcept { return FPort; }
  /// Hands the descriptor on: this object no longer closes it.
  TIdSocketDescriptor Release() noexcept;

private:
  TIdStackUse FStackUse; // the stack closes the descriptor
  TIdSocketDescriptor FDescriptor;
  std::string FName;
  bool FIPv6;
  std::string FIP;
  int32_t FPort;
};

/// The sockets handed over, in the order of their descriptors.
using TIdActivatedSockets = std::vector<TIdActivatedSocket>;

/// The sockets the service manager passed to this process: descriptors from 3 on, as many as
/// LISTEN_FDS says, named by LISTEN_FDNAMES; none when LISTEN_PID is absent or names another
/// process (the variables were inherited). With AUnsetEnvironment the three variables are
/// removed in every case, so that a second call and child processes find none: call it once,
/// at start, before other threads read the environment. The descriptors become close-on-exec.
/// Raises EIdSystemdError "Invalid <variable> from the service manager." for a variable that is
/// not a number or names that do not match the count, and "Descriptor <n> from the service
/// manager is not a listening TCP socket." for any other kind of descriptor (the ones taken
/// before it are closed then).
ID_API TIdActivatedSockets TakeActivatedSockets(bool AUnsetEnvironment = true);

/// Sends AState (lines of NAME=value) in one datagram to the socket that NOTIFY_SOCKET names (a
/// path, or "@" and an abstract name); false when NOTIFY_SOCKET is unset: no service manager
/// listens. Raises EIdSystemdError "Invalid NOTIFY_SOCKET "<value>"." for a value that names no
/// such socket, and EIdSocketError when the datagram cannot be sent. Any thread.
ID_API bool NotifyServiceManager(const std::string& AState);
/// "READY=1": the service is up (its listeners accept).
ID_API bool NotifyReady();
/// "STOPPING=1": the service has begun to stop.
ID_API bool NotifyStopping();
/// "WATCHDOG=1": the keep-alive, due at least once per WatchdogInterval.
ID_API bool NotifyWatchdog();
/// The watchdog's interval in microseconds (WATCHDOG_USEC) when the service manager watches this
/// process (WATCHDOG_PID absent or naming it); 0 otherwise. The custom is a keep-alive every
/// half interval. Raises EIdSystemdError "Invalid WATCHDOG_USEC from the service manager." (or
/// WATCHDOG_PID) for a value that is not a number.
ID_API int64_t WatchdogInterval();

} // namespace Id
