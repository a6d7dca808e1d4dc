// SPDX-License-Identifier: MIT
// The platform's side of the global helpers on POSIX systems.
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

#include "idframework/core/IdGlobal.h"

namespace Id {

std::string TempDirectory() {
  const char* Dir = std::getenv("TMPDIR");
  return EnsureTrailingDelimiter(Dir && *Dir ? Dir : "/tmp");
}

// Only whole large pages inside the range are advised: the rest of their pages may be in use.
void AdviseBulkFill(void* AStart, size_t ASize) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t LargePage = uintptr_t(2) << 20;
  const uintptr_t Start = reinterpret_cast<uintptr_t>(AStart);
  const uintptr_t First = (Start + LargePage - 1) & ~(LargePage - 1);
  const uintptr_t Last = (Start + ASize) & ~(LargePage - 1);
  if (Last > First) ::madvise(reinterpret_cast<void*>(First), Last - First, MADV_HUGEPAGE);
#else
  static_cast<void>(AStart);
  static_cast<void>(ASize);
#endif
}

} // namespace Id
