// SPDX-License-Identifier: MIT
#include "idframework/runtime/CriticalSection.h"

#if defined(ID_LOCK_CHECKS)
#include <cstdio>
#include <cstdlib>

namespace Id {

namespace {

thread_local int HeldLocks = 0;

} // namespace

void detail::CountHeldLocks(int ADelta) noexcept {
  HeldLocks += ADelta;
}

void AssertNoLockHeld(const char* ACallee) noexcept {
  if (HeldLocks == 0) return;
  std::fprintf(stderr, "%s called while its thread holds %d framework lock(s)\n", ACallee,
               HeldLocks);
  std::abort();
}

} // namespace Id
#endif
