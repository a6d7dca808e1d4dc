// SPDX-License-Identifier: MIT
// Switching a live connection to TLS after a protocol command (STARTTLS and its kin).
#pragma once

#include "idframework/runtime/Export.h"

namespace Id {

class TIdTCPConnection;

/// Switches AConnection, whose transport is a TIdIOHandlerTLS, to TLS in place and runs the
/// handshake in the transport's role. A server calls it right after it has sent its positive
/// reply to the command, a client right after it has read the server's. Nothing received
/// before the switch may be left unread: such bytes came outside the session yet would read as
/// if inside it, so the connection is closed and EIdTLSStartRefused raised instead. Also
/// raises EIdTLSStartRefused for another transport or TLS already on, and the handshake's
/// failures. Connection's thread.
///
/// \see The guide: \ref guide-starttls.
ID_API void StartTLS(TIdTCPConnection& AConnection);

} // namespace Id
