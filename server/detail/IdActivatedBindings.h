// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// The listening sockets the service manager handed to this process, kept for the life of the
// process, and the bindings of servers with SocketActivation that take them.
#pragma once

#include "idframework/server/IdSystemd.h"

namespace Id {

class TIdSocketHandle;

/// Gives ABinding a descriptor of its own of the socket in AHanded that is meant for it: the one
/// named ABinding.ActivationName() when that is set, else the one of ABinding's IP version,
/// address and port (an empty address or "0.0.0.0" is IPv4's any address, an empty one or "::"
/// IPv6's). False, and ABinding unchanged, when none is. Raises EIdSocketError when the socket
/// cannot be taken.
bool AdoptHandedSocket(TIdSocketHandle& ABinding, const TIdActivatedSockets& AHanded);

/// AdoptHandedSocket with the sockets the service manager handed to this process: taken
/// (TakeActivatedSockets) at the first call in the process and kept open until it ends, so that
/// the ports stay open while a server is inactive or restarts. Raises what TakeActivatedSockets
/// raises. Any thread.
bool AdoptActivatedSocket(TIdSocketHandle& ABinding);

} // namespace Id
