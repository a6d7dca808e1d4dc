// SPDX-License-Identifier: MIT
// Collections of owned items with identifiers, and collections that know their owner.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "idframework/runtime/Export.h"

namespace Id {

class TCollection;
class TComponent;

/// One item of a TCollection. The collection owns and frees it.
class ID_API TCollectionItem {
public:
  /// An item of ACollection (the collection adds it; see TCollection::Add).
  explicit TCollectionItem(TCollection* ACollection) : FCollection(ACollection) {}
  virtual ~TCollectionItem() = default;
  TCollectionItem(const TCollectionItem&) = delete;
  TCollectionItem& operator=(const TCollectionItem&) = delete;

  /// The collection that owns the item; not owned.
  TCollection* Collection() const noexcept { return FCollection; }
  /// Unique within its collection for the collection's life; never reused.
  int ID() const noexcept { return FID; }
  /// Position in the collection, -1 when not in one.
  int Index() const;
  void SetIndex(int AIndex);
  /// Text shown for the item; defaults to the class name chosen by the item.
  virtual std::string DisplayName() const;
  virtual void SetDisplayName(const std::string& AName) { FDisplayName = AName; }
  /// Copies the published values of ASource; the base raises EConvertError.
  virtual void Assign(const TCollectionItem& ASource);

private:
  friend class TCollection;
  TCollection* FCollection; // not owned
  int FID = 0;
  std::string FDisplayName;
};

/// An ordered list of items of one class, created through a factory.
class ID_API TCollection {
public:
  /// Makes one item for the collection.
  using TItemFactory = std::function<std::unique_ptr<TCollectionItem>(TCollection*)>;

  /// An empty collection whose items AFactory makes.
  explicit TCollection(TItemFactory AFactory);
  virtual ~TCollection();
  TCollection(const TCollection&) = delete;
  TCollection& operator=(const TCollection&) = delete;

  /// A new item at the end; the collection owns it.
  TCollectionItem* Add();
  /// A new item at AIndex; the collection owns it.
  TCollectionItem* Insert(int AIndex);
  /// The number of items.
  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  /// Raises EListError outside the list.
  TCollectionItem* Items(int AIndex) const;
  /// The item whose ID is AID; nullptr when none.
  TCollectionItem* FindItemID(int AID) const;
  /// Frees the item at AIndex; raises EListError outside the list.
  void Delete(int AIndex);
  /// Frees every item.
  void Clear();
  /// Replaces the items by copies of ASource's (item Assign).
  void Assign(const TCollection& ASource);
  /// The component this collection belongs to, if any.
  virtual TComponent* Owner() const { return nullptr; }

  /// Iteration over the items (std::unique_ptr of each), in order.
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

protected:
  /// Called after an item was added, moved or removed (nullptr: the whole collection changed).
  virtual void Update(TCollectionItem*) {}

private:
  friend class TCollectionItem;
  void CheckIndex(int AIndex) const;
  TItemFactory FFactory;
  std::vector<std::unique_ptr<TCollectionItem>> FItems;
  int FNextID = 0;
};

/// A collection that belongs to a component.
class ID_API TOwnedCollection : public TCollection {
public:
  /// A collection of AOwner (not owned by it) whose items AFactory makes.
  TOwnedCollection(TComponent* AOwner, TItemFactory AFactory)
      : TCollection(std::move(AFactory)), FOwner(AOwner) {}
  TComponent* Owner() const override { return FOwner; }

private:
  TComponent* FOwner; // not owned
};

/// Typed view of an owned collection whose items are all of class T.
template <class T, class Base = TOwnedCollection> class TOwnedCollectionOf : public Base {
public:
  /// Items made as T(collection).
  explicit TOwnedCollectionOf(TComponent* AOwner)
      : Base(AOwner, [](TCollection* C) { return std::make_unique<T>(C); }) {}
  /// Items made by AFactory.
  template <class F>
  TOwnedCollectionOf(TComponent* AOwner, F&& AFactory) : Base(AOwner, std::forward<F>(AFactory)) {}
  /// A new item at the end, typed as T.
  T* Add() { return static_cast<T*>(Base::Add()); }
  /// A new item at AIndex, typed as T.
  T* Insert(int AIndex) { return static_cast<T*>(Base::Insert(AIndex)); }
  /// The item at AIndex, typed as T; raises EListError outside the list.
  T* Items(int AIndex) const { return static_cast<T*>(Base::Items(AIndex)); }
};

} // namespace Id
