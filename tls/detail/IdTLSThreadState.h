// SPDX-License-Identifier: MIT
// OpenSSL's state for a thread, let go of when the thread's body ends.
#pragma once

namespace Id {

/// Notes that the calling thread entered OpenSSL, so that the thread lets go of OpenSSL's state
/// for it when its body ends (see RegisterThreadRunReset). Every entry into OpenSSL calls it.
void NoteOpenSSLOnThisThread() noexcept;

} // namespace Id
