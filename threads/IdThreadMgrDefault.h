// SPDX-License-Identifier: MIT
// The default thread manager: a fresh thread for every request, every returned thread ends.
#pragma once

#include "idframework/runtime/Export.h"
#include "idframework/threads/IdThreadMgr.h"

namespace Id {

/// Creates a new thread for every AcquireThread and ends and frees every thread it takes back.
class ID_API TIdThreadMgrDefault : public TIdThreadMgr {
public:
  /// No threads yet; AOwner frees the manager.
  explicit TIdThreadMgrDefault(TComponent* AOwner) : TIdThreadMgr(AOwner) {}

  /// MakeThread, listed in ManagedThreads. Raises what MakeThread raises; nothing is listed then.
  TIdThread* AcquireThread() override;
  /// Called by the thread itself: sets it to free itself and requests its termination, without
  /// blocking; the object goes when its body returns. Called by another thread: ends the thread
  /// (waiting outside the list lock) and frees it. A thread not listed is left untouched.
  void ReturnThread(TIdThread* AThread) override;
};

} // namespace Id
