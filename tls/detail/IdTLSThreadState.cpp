// SPDX-License-Identifier: MIT
#include "idframework/tls/detail/IdTLSThreadState.h"

#include <openssl/crypto.h>

#include <utility>

#include "idframework/runtime/Thread.h"

namespace Id {

namespace {

// Whether the calling thread has entered OpenSSL since its last body began.
thread_local bool UsedOpenSSL = false;

// A thread that served a body with a session lets go of OpenSSL's state for the thread (its
// error queue among it) before it serves the next body or waits parked: the next session's
// failures carry their own reasons, and no state of OpenSSL's stays with a parked thread,
// which OpenSSL's own clean-up at process end could not reach. A thread that never entered
// OpenSSL costs nothing.
const bool ThreadStateResetRegistered = [] {
  RegisterThreadRunReset([] {
    if (std::exchange(UsedOpenSSL, false)) OPENSSL_thread_stop();
  });
  return true;
}();

} // namespace

void NoteOpenSSLOnThisThread() noexcept {
  (void)ThreadStateResetRegistered;
  UsedOpenSSL = true;
}

} // namespace Id
