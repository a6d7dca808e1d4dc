// SPDX-License-Identifier: MIT
// The hook that lets blocking waits on the main thread hand control to the application.
#pragma once

#include <cstdint>

#include "idframework/core/IdBaseComponent.h"
#include "idframework/runtime/Export.h"

namespace Id {

/// Base of the anti-freeze: the most recently created run-time instance is registered and its
/// ProcessIdle runs between slices of blocking waits made on the main thread. With none
/// registered every operation does nothing.
class ID_API TIdAntiFreezeBase : public TIdBaseComponent {
public:
  /// Registers this instance, replacing any other. In a designer, raises EIdException
  /// "Only one TIdAntiFreeze can exist per application." when one is already registered.
  explicit TIdAntiFreezeBase(TComponent* AOwner);
  ~TIdAntiFreezeBase() override;

  /// Whether the hook runs at all.
  bool Active = true;
  /// Whether ProcessIdle yields to the application's own work.
  bool ApplicationHasPriority = true;
  /// The slice, in ms, of a blocking wait between two runs of ProcessIdle.
  int32_t IdleTimeOut = 250;
  /// Whether ProcessIdle runs only when the caller says it is idle.
  bool OnlyWhenIdle = true;

  /// The concrete idle processing (for example, handling pending window messages).
  virtual void ProcessIdle() = 0;

  /// True when an instance is registered, the caller is the main thread and it is Active.
  static bool AntiFreezeActive();
  /// Runs ProcessIdle when active and AIdle, not OnlyWhenIdle, or AOverride holds.
  static void AntiFreezeStep(bool AIdle = true, bool AOverride = false);
  /// Named arguments of AntiFreezeStep.
  static constexpr bool Idle = true;
  static constexpr bool Busy = false;
  static constexpr bool NoOverride = false;
  /// The registered instance, or nullptr.
  static TIdAntiFreezeBase* Instance();
};

} // namespace Id
