// SPDX-License-Identifier: MIT
#include "idframework/threads/IdThreadMgrDefault.h"

#include "idframework/core/IdGlobal.h"

namespace Id {

TIdThread* TIdThreadMgrDefault::AcquireThread() {
  std::unique_ptr<TIdThread> Thread = MakeThread();
  ManagedThreads().Add(Thread.get());
  return Thread.release();
}

void TIdThreadMgrDefault::ReturnThread(TIdThread* AThread) {
  if (!AThread || !ManagedThreads().Remove(AThread)) return;
  if (CallerIsThread(*AThread)) {
    // The thread is inside its own run loop: it cannot wait for itself, so it ends and frees
    // itself once its body returns.
    AThread->SetFreeOnTerminate(true);
    AThread->RequestTerminate();
    return;
  }
  // Out of the list lock: a thread returning itself meanwhile must not block on us. A
  // free-on-terminate thread raises here and is left alone, as it frees itself.
  if (!AThread->Suspended()) AThread->TerminateAndWaitFor();
  std::unique_ptr<TIdThread> Owned(AThread);
}

} // namespace Id
