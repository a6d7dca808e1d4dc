// SPDX-License-Identifier: MIT
// Component ownership, names and removal notification.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "idframework/runtime/CriticalSection.h"
#include "idframework/runtime/Export.h"

namespace Id {

enum class TOperation { opInsert, opRemove };

class TComponent;
/// A plain event with only its sender.
using TNotifyEvent = std::function<void(TComponent* ASender)>;

/// Bits of TComponent::ComponentState.
enum TComponentStateFlag : unsigned {
  csLoading = 1u << 0, // its stored description is being read
  csReading = 1u << 1,
  csDestroying = 1u << 2, // its destruction has begun
  csDesigning = 1u << 3,  // edited in a designer rather than running
};

/// Base of every component: an owner that frees its owned components, a name, a tag, a state
/// and removal notification.
///
/// Ownership: an owned component is deleted by its owner's destructor; deleting it earlier
/// removes it from the owner. A component may also have no owner and be held by a
/// std::unique_ptr. Destruction order: the derived destructors run first, then this one tells
/// every registered component (and the owner) that it is going, then frees its owned components.
/// Lists are guarded, so components may be created, linked and freed on different threads.
class ID_API TComponent {
public:
  /// AOwner (may be nullptr) takes ownership: it frees this component in its destructor.
  explicit TComponent(TComponent* AOwner);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  /// The owner; nullptr when none.
  TComponent* Owner() const noexcept { return FOwner; }
  /// The name (FindComponent looks it up); empty by default.
  const std::string& Name() const noexcept { return FName; }
  void SetName(const std::string& AName) { FName = AName; }
  /// Free for the application; 0 by default.
  intptr_t Tag() const noexcept { return FTag; }
  void SetTag(intptr_t ATag) noexcept { FTag = ATag; }

  /// The TComponentStateFlag bits.
  unsigned ComponentState() const noexcept { return FComponentState; }
  /// Whether csLoading is set.
  bool IsLoading() const noexcept { return (FComponentState & csLoading) != 0; }
  /// Whether csDesigning is set.
  bool IsDesigning() const noexcept { return (FComponentState & csDesigning) != 0; }
  /// Whether csDestroying is set.
  bool IsDestroying() const noexcept { return (FComponentState & csDestroying) != 0; }
  /// Used by the description reader (loading) and by designers.
  void SetComponentStateFlag(TComponentStateFlag AFlag, bool AOn);

  /// The number of owned components.
  int ComponentCount() const;
  /// The AIndex-th owned component; raises EListError outside the list.
  TComponent* Components(int AIndex) const;
  /// The owned component named AName (ignoring case); nullptr when none.
  TComponent* FindComponent(const std::string& AName) const;

  /// Registers both ways: each of this and AComponent is told when the other is destroyed.
  void FreeNotification(TComponent* AComponent);
  /// Ends what FreeNotification registered, both ways.
  void RemoveFreeNotification(TComponent* AComponent);

  /// End of loading: clears csLoading. Overrides act on deferred properties, then call this.
  virtual void Loaded();

  /// Told when AComponent is inserted into or removed from the owner, or when a component
  /// registered with FreeNotification is destroyed. The base passes it on to owned components.
  virtual void Notification(TComponent* AComponent, TOperation AOperation);

protected:
  /// The first steps of destruction: marks csDestroying, tells registered components and frees
  /// owned ones. Idempotent; a derived destructor may call it to have this done before its own
  /// clean-up (the base destructor calls it anyway).
  void DestroyComponents();

private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);
  void AddFreeNotify(TComponent* AComponent);
  bool RemoveFreeNotify(TComponent* AComponent);
  void RemoveFreeNotifications();

  TComponent* FOwner; // not owned
  std::string FName;
  intptr_t FTag = 0;
  unsigned FComponentState = 0;
  bool FTornDown = false;
  mutable TMutex FListLock;
  std::vector<TComponent*>
      FComponents ID_GUARDED_BY(FListLock); // owned: freed by DestroyComponents
  // Not owned: cleared by removal notices.
  std::vector<TComponent*> FFreeNotifies ID_GUARDED_BY(FListLock);
};

} // namespace Id
