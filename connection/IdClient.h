// SPDX-License-Identifier: MIT
// Everything a client connection needs, in one include: the client connection (TIdTCPClient),
// the buffered connection, the socket transport with its timed connect and SOCKS settings,
// numbered replies and the exception tree.
#pragma once

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/connection/IdSocks.h"
#include "idframework/connection/IdTCPClient.h"
#include "idframework/connection/IdTCPConnection.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
