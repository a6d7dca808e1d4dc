// SPDX-License-Identifier: MIT
// The count of the stack's users, for the tests of its creation and freeing (net/IdStack.cpp).
#pragma once

#include <cstdint>

namespace Id {

/// The number of live stack users (components and socket handles).
int32_t StackUserCount();

} // namespace Id
