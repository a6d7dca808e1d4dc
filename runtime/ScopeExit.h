// SPDX-License-Identifier: MIT
// What must happen when a block is left, whichever way it is left.
#pragma once

#include <exception>
#include <utility>

namespace Id {

/// Runs its action when the scope ends, the normal way or by an exception:
/// `TScopeExit EndWork([&] { NotifyWorkEnd(TWorkMode::wkRead); });`. On the normal way an
/// exception of the action goes to the caller; while another exception is passing, one of the
/// action is dropped, since the one passing tells what went wrong first. Costs nothing beyond
/// the action unless the action raises.
template <class TAction> class TScopeExit {
public:
  /// AAction runs once, when the object goes.
  explicit TScopeExit(TAction AAction) : FAction(std::move(AAction)) {}
  ~TScopeExit() noexcept(false) {
    try {
      FAction();
    } catch (...) {
      if (std::uncaught_exceptions() == 0) throw;
      // Otherwise the exception passing is the one the caller gets.
    }
  }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

private:
  TAction FAction;
};

} // namespace Id
