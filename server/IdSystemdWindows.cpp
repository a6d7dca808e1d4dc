// SPDX-License-Identifier: MIT
// No service manager on Windows: nothing is handed over, nothing is told.
#include "idframework/server/IdSystemd.h"

namespace Id {

TIdActivatedSockets TakeActivatedSockets(bool) {
  return {};
}

bool NotifyServiceManager(const std::string&) {
  return false;
}

int64_t WatchdogInterval() {
  return 0;
}

} // namespace Id
