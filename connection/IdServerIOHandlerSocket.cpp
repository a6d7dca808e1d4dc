#include "connection/IdServerIOHandlerSocket.h"

#include "connection/IdIOHandlerSocket.h"
#include "net/IdSocketHandle.h"
#include "threads/IdThread.h"

namespace Id {

namespace {

// The step of the readability wait: how soon a halted listener notices it.
constexpr int32_t AcceptWaitStep = 100;

} // namespace

std::unique_ptr<TIdIOHandlerSocket> TIdServerIOHandlerSocket::NewClientTransport() {
  auto Transport = std::make_unique<TIdIOHandlerSocket>(nullptr);
  Transport->OpenIO();
  return Transport;
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSocket::AcceptClient(TIdSocketDescriptor AListener,
                                                                     TIdThread* AThread) {
  std::unique_ptr<TIdIOHandlerSocket> Transport = NewClientTransport();
  TIdSocketHandle& Handle = *Transport->SocketHandle();
  if (AThread) {
    for (;;) {
      if (AThread->IsHalted()) return nullptr;
      if (Handle.WaitDescriptorReadable(AListener, AcceptWaitStep)) break;
    }
  }
  if (!Handle.AcceptFrom(AListener)) return nullptr;
  return Transport;
}

} // namespace Id
