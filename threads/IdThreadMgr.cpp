// SPDX-License-Identifier: MIT
#include "idframework/threads/IdThreadMgr.h"

#include "idframework/core/IdException.h"
#include "idframework/core/IdGlobal.h"

namespace Id {

TIdThreadMgr::TIdThreadMgr(TComponent* AOwner) : TIdBaseComponent(AOwner) {}

TIdThreadMgr::~TIdThreadMgr() = default;

std::unique_ptr<TIdThread> TIdThreadMgr::MakeThread() {
  if (!FThreadClassRef) throw EIdThreadClassNotSpecified();
  std::unique_ptr<TIdThread> Thread = FThreadClassRef(true);
  SetThreadPriorityOf(*Thread, FSpawnPriority);
  Thread->SetStackSize(FStackSize);
  return Thread;
}

} // namespace Id
