// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// The PROXY protocol header step of a peer thread: the first thing read from a client whose
// server stands behind a load balancer.
#pragma once

namespace Id {

class TIdPeerThread;

/// When the server of APeer's connection has ProxyProtocol on: reads the client's PROXY protocol
/// header within the server's ProxyHeaderTimeout and keeps it on the connection (ProxyHeader),
/// before anything else reads or writes (a TLS handshake, the greeting, OnConnect). A failure
/// (no header, a malformed, oversized or cut-short one, none in time, a close) is reported through
/// the server's OnException and raised again, which ends the peer thread as a failed set-up.
/// Otherwise nothing. Peer thread.
void ReadProxyStep(TIdPeerThread& APeer);

} // namespace Id
