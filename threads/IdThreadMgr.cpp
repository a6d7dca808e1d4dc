#include "threads/IdThreadMgr.h"

#include "core/IdException.h"
#include "core/IdGlobal.h"

namespace Id {

TIdThreadMgr::TIdThreadMgr(TComponent* AOwner) : TIdBaseComponent(AOwner) {}

TIdThreadMgr::~TIdThreadMgr() = default;

std::unique_ptr<TIdThread> TIdThreadMgr::MakeThread() {
  if (!FThreadClassRef) throw EIdThreadClassNotSpecified();
  std::unique_ptr<TIdThread> Thread = FThreadClassRef(true);
  SetThreadPriorityOf(*Thread, FSpawnPriority);
  return Thread;
}

} // namespace Id
