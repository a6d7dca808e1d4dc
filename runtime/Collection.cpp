// SPDX-License-Identifier: MIT
#include "idframework/runtime/Collection.h"

#include <algorithm>

#include "idframework/runtime/SysUtils.h"

namespace Id {

int TCollectionItem::Index() const {
  if (!FCollection) return -1;
  const auto& Items = FCollection->FItems;
  for (size_t I = 0; I < Items.size(); ++I)
    if (Items[I].get() == this) return static_cast<int>(I);
  return -1;
}

void TCollectionItem::SetIndex(int AIndex) {
  const int Current = Index();
  if (Current < 0 || AIndex == Current) return;
  auto& Items = FCollection->FItems;
  AIndex = std::clamp(AIndex, 0, static_cast<int>(Items.size()) - 1);
  auto Self = std::move(Items[Current]);
  Items.erase(Items.begin() + Current);
  Items.insert(Items.begin() + AIndex, std::move(Self));
  FCollection->Update(nullptr);
}

std::string TCollectionItem::DisplayName() const {
  return FDisplayName;
}

void TCollectionItem::Assign(const TCollectionItem&) {
  throw EConvertError("Cannot assign a collection item of another kind");
}

TCollection::TCollection(TItemFactory AFactory) : FFactory(std::move(AFactory)) {}

TCollection::~TCollection() = default;

TCollectionItem* TCollection::Add() {
  return Insert(Count());
}

TCollectionItem* TCollection::Insert(int AIndex) {
  if (AIndex < 0 || AIndex > Count())
    throw EListError(Format("List index out of bounds (%d)", {int64_t(AIndex)}));
  auto Item = FFactory(this);
  Item->FCollection = this;
  Item->FID = FNextID++;
  TCollectionItem* Raw = Item.get();
  FItems.insert(FItems.begin() + AIndex, std::move(Item));
  Update(Raw);
  return Raw;
}

void TCollection::CheckIndex(int AIndex) const {
  if (AIndex < 0 || AIndex >= Count())
    throw EListError(Format("List index out of bounds (%d)", {int64_t(AIndex)}));
}

TCollectionItem* TCollection::Items(int AIndex) const {
  CheckIndex(AIndex);
  return FItems[AIndex].get();
}

TCollectionItem* TCollection::FindItemID(int AID) const {
  for (const auto& Item : FItems)
    if (Item->FID == AID) return Item.get();
  return nullptr;
}

void TCollection::Delete(int AIndex) {
  CheckIndex(AIndex);
  FItems.erase(FItems.begin() + AIndex);
  Update(nullptr);
}

void TCollection::Clear() {
  if (FItems.empty()) return;
  FItems.clear();
  Update(nullptr);
}

void TCollection::Assign(const TCollection& ASource) {
  if (&ASource == this) return;
  FItems.clear();
  for (const auto& Item : ASource.FItems)
    Add()->Assign(*Item);
  Update(nullptr);
}

} // namespace Id
