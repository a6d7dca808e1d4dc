// SPDX-License-Identifier: MIT
#include "idframework/runtime/Component.h"

#include <algorithm>

#include "idframework/runtime/SysUtils.h"

namespace Id {

TComponent::TComponent(TComponent* AOwner) : FOwner(nullptr) {
  if (!AOwner) return;
  // A component made inside a designed component is designed too.
  if (AOwner->IsDesigning()) FComponentState |= csDesigning;
  AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  DestroyComponents();
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::SetComponentStateFlag(TComponentStateFlag AFlag, bool AOn) {
  if (AOn)
    FComponentState |= AFlag;
  else
    FComponentState &= ~static_cast<unsigned>(AFlag);
}

int TComponent::ComponentCount() const {
  TLockGuard<TMutex> Guard(FListLock);
  return static_cast<int>(FComponents.size());
}

TComponent* TComponent::Components(int AIndex) const {
  TLockGuard<TMutex> Guard(FListLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FComponents.size()))
    throw EListError(Format("List index out of bounds (%d)", {int64_t(AIndex)}));
  return FComponents[AIndex];
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  if (AName.empty()) return nullptr;
  TLockGuard<TMutex> Guard(FListLock);
  for (TComponent* C : FComponents)
    if (SameText(C->Name(), AName)) return C;
  return nullptr;
}

void TComponent::InsertComponent(TComponent* AComponent) {
  {
    TLockGuard<TMutex> Guard(FListLock);
    FComponents.push_back(AComponent);
  }
  AComponent->FOwner = this;
  Notification(AComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  Notification(AComponent, TOperation::opRemove);
  TLockGuard<TMutex> Guard(FListLock);
  auto It = std::find(FComponents.begin(), FComponents.end(), AComponent);
  if (It != FComponents.end()) FComponents.erase(It);
  AComponent->FOwner = nullptr;
}

void TComponent::AddFreeNotify(TComponent* AComponent) {
  TLockGuard<TMutex> Guard(FListLock);
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
}

bool TComponent::RemoveFreeNotify(TComponent* AComponent) {
  TLockGuard<TMutex> Guard(FListLock);
  auto It = std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent);
  if (It == FFreeNotifies.end()) return false;
  FFreeNotifies.erase(It);
  return true;
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (!AComponent || AComponent == this) return;
  AddFreeNotify(AComponent);
  AComponent->AddFreeNotify(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (!AComponent) return;
  RemoveFreeNotify(AComponent);
  AComponent->RemoveFreeNotify(this);
}

void TComponent::Loaded() {
  SetComponentStateFlag(csLoading, false);
}

void TComponent::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove && AComponent) RemoveFreeNotify(AComponent);
  std::vector<TComponent*> Owned;
  {
    TLockGuard<TMutex> Guard(FListLock);
    Owned = FComponents;
  }
  for (auto It = Owned.rbegin(); It != Owned.rend(); ++It)
    if (*It != AComponent) (*It)->Notification(AComponent, AOperation);
}

void TComponent::RemoveFreeNotifications() {
  for (;;) {
    TComponent* Other;
    {
      TLockGuard<TMutex> Guard(FListLock);
      if (FFreeNotifies.empty()) return;
      Other = FFreeNotifies.back();
      FFreeNotifies.pop_back();
    }
    Other->RemoveFreeNotify(this);
    Other->Notification(this, TOperation::opRemove);
  }
}

void TComponent::DestroyComponents() {
  if (FTornDown) return;
  FTornDown = true;
  FComponentState |= csDestroying;
  RemoveFreeNotifications();
  for (;;) {
    TComponent* Child;
    {
      TLockGuard<TMutex> Guard(FListLock);
      if (FComponents.empty()) return;
      Child = FComponents.back();
    }
    delete Child; // removes itself from FComponents
  }
}

} // namespace Id
