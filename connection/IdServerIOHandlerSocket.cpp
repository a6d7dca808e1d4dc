// SPDX-License-Identifier: MIT
#include "idframework/connection/IdServerIOHandlerSocket.h"

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/core/IdException.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/threads/IdThread.h"

namespace Id {

namespace {

// The step of the readability wait: how soon a halted listener notices it.
constexpr int32_t AcceptWaitStep = 100;

} // namespace

namespace {

// Waits in steps until AListener has a client; false when AThread is halted or the listener
// closed meanwhile.
bool WaitForClient(TIdSocketHandle& AListener, TIdThread& AThread) {
  try {
    while (!AThread.IsHalted())
      if (AListener.WaitReadable(AcceptWaitStep)) return true;
  } catch (const EIdConnClosedGracefully&) {
    // Closed under the wait: the server is stopping.
  }
  return false;
}

} // namespace

std::unique_ptr<TIdIOHandlerSocket> TIdServerIOHandlerSocket::NewClientTransport() {
  auto Transport = std::make_unique<TIdIOHandlerSocket>(nullptr);
  Transport->OpenIO();
  return Transport;
}

// Where closing the listening socket wakes an accept, the listener waits in the accept itself:
// one call per client instead of two. Elsewhere it waits in steps that watch its halted state.
std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSocket::AcceptClient(TIdSocketHandle& AListener,
                                                                     TIdThread* AThread) {
  if (AThread) {
    if (AThread->IsHalted()) return nullptr;
    if (!GlobalStack()->ShutdownWakesAccept() && !WaitForClient(AListener, *AThread))
      return nullptr;
  }
  std::unique_ptr<TIdIOHandlerSocket> Transport = NewClientTransport();
  if (!Transport->SocketHandle()->AcceptFrom(AListener)) return nullptr;
  return Transport;
}

} // namespace Id
