// Everything a TCP server on the framework needs, in one include: the server with its bindings,
// the peer threads and their connections, command handlers, numbered replies, the thread
// managers and the exception tree.
#pragma once

#include "core/IdException.h"
#include "core/IdRFCReply.h"
#include "net/IdSocketHandle.h"
#include "server/IdCommandHandlers.h"
#include "server/IdListenerThread.h"
#include "server/IdPeerThread.h"
#include "server/IdTCPServer.h"
#include "threads/IdThreadMgrDefault.h"
