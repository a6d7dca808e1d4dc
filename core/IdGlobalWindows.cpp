// SPDX-License-Identifier: MIT
// The platform's side of the global helpers on Windows.
#include <windows.h>

#include "idframework/core/IdGlobal.h"

namespace Id {

std::string TempDirectory() {
  char Buffer[MAX_PATH + 1];
  const DWORD Length = ::GetTempPathA(sizeof(Buffer), Buffer);
  if (Length == 0 || Length > sizeof(Buffer)) return EnsureTrailingDelimiter(".");
  return EnsureTrailingDelimiter(std::string(Buffer, Length));
}

void AdviseBulkFill(void*, size_t) {}

} // namespace Id
