// SPDX-License-Identifier: MIT
// The program serves on the ports its description stores.
#include "app/ServerRegistration.h"

namespace Id {

int ConfiguredPort(int AStoredPort) {
  return AStoredPort;
}

} // namespace Id
