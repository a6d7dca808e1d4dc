// SPDX-License-Identifier: MIT
// The consumer's own header, named as one of the framework's: first on the consumer's include
// path, it must not replace the framework's own.
#pragma once

namespace User {
inline constexpr const char* StreamHeader = "the consumer's runtime/Stream.h";
}
