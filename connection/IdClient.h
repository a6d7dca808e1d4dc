// Everything a client connection needs, in one include: the client connection (TIdTCPClient),
// the buffered connection, the socket transport with its timed connect and SOCKS settings,
// numbered replies and the exception tree.
#pragma once

#include "connection/IdIOHandlerSocket.h"
#include "connection/IdSocks.h"
#include "connection/IdTCPClient.h"
#include "connection/IdTCPConnection.h"
#include "core/IdException.h"
#include "core/IdRFCReply.h"
