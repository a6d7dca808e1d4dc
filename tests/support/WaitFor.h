// SPDX-License-Identifier: MIT
// Waiting for facts in tests: poll a condition every millisecond up to a limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
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

/// Runs AWork on a thread of its own and waits up to ALimit for it to return, then hands on what
/// it raised. A call that does not return is a hang that no clean-up can undo (its threads may
/// wait for each other for ever): the test process ends at once, failing the test.
template <class Work> void FinishesWithin(std::chrono::milliseconds ALimit, Work AWork) {
  struct TState {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    std::exception_ptr Failure;
  };
  auto State = std::make_shared<TState>();
  std::thread Worker([State, AWork]() mutable {
    std::exception_ptr Failure;
    try {
      AWork();
    } catch (...) {
      Failure = std::current_exception();
    }
    std::lock_guard<std::mutex> Guard(State->Lock);
    State->Failure = Failure;
    State->Finished = true;
    State->Done.notify_all();
  });
  std::unique_lock<std::mutex> Lock(State->Lock);
  if (!State->Done.wait_for(Lock, ALimit, [&] { return State->Finished; })) {
    std::fprintf(stderr, "FinishesWithin: no return within %lld ms (a hang)\n",
                 static_cast<long long>(ALimit.count()));
    std::_Exit(1);
  }
  Lock.unlock();
  Worker.join();
  if (State->Failure) std::rethrow_exception(State->Failure);
}

} // namespace IdTest
