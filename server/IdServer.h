// SPDX-License-Identifier: MIT
// Everything a TCP server on the framework needs, in one include: the server with its bindings,
// the peer threads and their connections, command handlers, numbered replies, the thread
// managers, the exception tree, the PROXY protocol header and the service manager's protocols.
#pragma once

#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/server/IdCommandHandlers.h"
#include "idframework/server/IdListenerThread.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdProxyProtocol.h"
#include "idframework/server/IdSystemd.h"
#include "idframework/server/IdTCPServer.h"
#include "idframework/threads/IdThreadMgrDefault.h"
