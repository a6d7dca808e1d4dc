// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// A server's word on one client: counted under its address, refused, or given the settings the
// server has for its peers.
#pragma once

#include <string>

namespace Id {

class TIdTCPServer;
class TIdTCPServerConnection;

/// Counts AConnection's client under AIP for AServer's MaxConnectionsPerAddress (the connection
/// holds the count until it goes): false when that address is at the limit, the refusal
/// counted. The listener does it at the accept with the socket's address; a server that learns
/// the real client's address later (behind a proxy) does it then, with that address.
bool AdmitAddress(TIdTCPServer& AServer, TIdTCPServerConnection& AConnection,
                  const std::string& AIP);
/// With ProxyProtocol and MaxConnectionsPerAddress on: admits AConnection's client by the
/// address its PROXY header names (ClientIP), or refuses it (RefuseClient) and returns false.
/// Otherwise true (the listener counted the socket's address). Peer thread, after the header.
bool AdmitRelayedClient(TIdTCPServer& AServer, TIdTCPServerConnection& AConnection);
/// Sends AServer's MaxConnectionReply, unless the client waits for a TLS handshake (plain text
/// would be taken for a broken handshake message: it is closed without a word), then closes.
void RefuseClient(TIdTCPServer& AServer, TIdTCPServerConnection& AConnection);
/// Gives a peer connection AServer's settings for peers (WriteTimeout, LineTimeout,
/// IdleTimeout, the traffic counters). Peer thread, before the transport's accept step.
void PreparePeerConnection(TIdTCPServer& AServer, TIdTCPServerConnection& AConnection);

} // namespace Id
