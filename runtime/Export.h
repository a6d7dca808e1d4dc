// SPDX-License-Identifier: MIT
// The mark of the library's API: what carries ID_API stays visible outside a shared build of the
// library, everything else is hidden in it. Static builds and the Windows build need no mark.
// Installed because every public header includes it; a program never includes it itself.
#pragma once

#if defined(_WIN32)
#define ID_API
#else
/// Marks a class, function or variable of the library's API.
#define ID_API __attribute__((visibility("default")))
#endif
