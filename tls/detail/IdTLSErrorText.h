// SPDX-License-Identifier: MIT
// OpenSSL's reasons for a failure as text for the framework's exceptions.
#pragma once

#include <string>

#include "idframework/runtime/Export.h"

namespace Id {

/// Takes every entry of the calling thread's OpenSSL error queue (oldest first) and returns
/// their reasons joined by "; "; AFallback when the queue was empty. Leaves the queue empty.
ID_API std::string TakeTLSErrorText(const std::string& AFallback);

} // namespace Id
