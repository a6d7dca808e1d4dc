// SPDX-License-Identifier: MIT
#include "idframework/core/IdAntiFreezeBase.h"

#include <atomic>

#include "idframework/core/IdException.h"
#include "idframework/core/IdGlobal.h"

namespace Id {

namespace {
std::atomic<TIdAntiFreezeBase*> AntiFreezeInstance{nullptr};
} // namespace

TIdAntiFreezeBase::TIdAntiFreezeBase(TComponent* AOwner) : TIdBaseComponent(AOwner) {
  if (!IsDesigning()) {
    AntiFreezeInstance.store(this);
  } else if (AntiFreezeInstance.load()) {
    throw EIdException(RS::RSOnlyOneAntiFreeze);
  }
}

TIdAntiFreezeBase::~TIdAntiFreezeBase() {
  // Whichever instance goes, the registration is cleared.
  AntiFreezeInstance.store(nullptr);
}

TIdAntiFreezeBase* TIdAntiFreezeBase::Instance() {
  return AntiFreezeInstance.load();
}

bool TIdAntiFreezeBase::AntiFreezeActive() {
  TIdAntiFreezeBase* I = AntiFreezeInstance.load();
  return I && IsMainThread() && I->Active;
}

void TIdAntiFreezeBase::AntiFreezeStep(bool AIdle, bool AOverride) {
  if (!AntiFreezeActive()) return;
  TIdAntiFreezeBase* I = AntiFreezeInstance.load();
  if (I && (AIdle || !I->OnlyWhenIdle || AOverride) && I->Active) I->ProcessIdle();
}

} // namespace Id
