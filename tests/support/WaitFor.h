// Waiting for facts in tests: poll a condition every millisecond up to a limit.
#pragma once

#include <chrono>
#include <thread>

namespace IdTest {

/// How long a test waits for a fact before it fails.
inline constexpr std::chrono::milliseconds FactLimit{10000};

/// True as soon as APred holds; false when it still does not after ALimit.
template <class Pred>
bool WaitFor(Pred APred, std::chrono::milliseconds ALimit = std::chrono::seconds(5)) {
  const auto Deadline = std::chrono::steady_clock::now() + ALimit;
  while (!APred()) {
    if (std::chrono::steady_clock::now() >= Deadline) return APred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

} // namespace IdTest
