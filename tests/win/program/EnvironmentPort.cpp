// SPDX-License-Identifier: MIT
// The program's test build: every stored binding listens on the port named by the environment
// variable ID_TEST_PORT (so that a test can use an ephemeral port), else on the stored port.
#include <cstdlib>
#include <string>

#include "app/ServerRegistration.h"

namespace Id {

int ConfiguredPort(int AStoredPort) {
  const char* Port = std::getenv("ID_TEST_PORT");
  if (!Port || !*Port) return AStoredPort;
  return std::stoi(Port);
}

} // namespace Id
