// SPDX-License-Identifier: MIT
// Links against the installed TLS library: a client transport with its context, no connection.
#include <cstdio>

#include <idframework/tls/IdIOHandlerTLS.h>

int main() {
  Id::TIdIOHandlerTLS Transport(nullptr);
  std::printf("TLS transport, mode %d: ok\n", static_cast<int>(Transport.Mode()));
  return 0;
}
