// The platform's side of the global helpers on POSIX systems.
#include <cstdlib>

#include "core/IdGlobal.h"

namespace Id {

std::string TempDirectory() {
  const char* Dir = std::getenv("TMPDIR");
  return EnsureTrailingDelimiter(Dir && *Dir ? Dir : "/tmp");
}

} // namespace Id
