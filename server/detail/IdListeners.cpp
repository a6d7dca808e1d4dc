// SPDX-License-Identifier: MIT
#include "idframework/server/detail/IdListeners.h"

#include "idframework/net/IdSocketHandle.h"
#include "idframework/server/IdListenerThread.h"

namespace Id {

TIdListeners::TIdListeners() = default;
TIdListeners::~TIdListeners() = default;

void TIdListeners::Start(TIdTCPServer& AServer, TIdSocketHandles& ABindings, int32_t AListenQueue) {
  for (int I = 0; I < ABindings.Count(); ++I) {
    TIdSocketHandle* Binding = ABindings.Items(I);
    if (!Binding->IsShared()) Binding->StartListening(AListenQueue);
    auto Listener = std::make_unique<TIdListenerThread>(&AServer, Binding);
    TIdListenerThread* Started = Listener.get();
    FList.Add(std::move(Listener));
    Started->StartRunning();
  }
}

void TIdListeners::Stop() {
  {
    TLockedList Listeners(FList);
    // All are asked first, so they stop together. Closing the binding wakes a listener in its
    // wait or accept (where the platform cannot wake it, it notices within one 100 ms step);
    // the handle keeps the descriptor until the listener has left the call.
    for (auto& Listener : *Listeners) {
      Listener->RequestTerminate();
      Listener->ListenBinding()->CloseDescriptor();
    }
    for (auto& Listener : *Listeners) {
      Listener->TerminateAndWaitFor();
      Listener.reset();
    }
  }
  FList.Clear();
}

bool TIdListeners::AllRun() {
  TLockedList Listeners(FList);
  for (const auto& Listener : *Listeners)
    if (Listener->IsHalted()) return false;
  return true;
}

} // namespace Id
