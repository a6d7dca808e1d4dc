// SPDX-License-Identifier: MIT
// Whether a thread sits in a given system call, read from /proc: lets a test wait until another
// thread is really blocked in a wait, accept, receive or send. Linux only; see NetTestSupport.h.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <initializer_list>
#include <string>

#include "support/WaitFor.h"

namespace IdTest {

/// The calling thread's kernel id, for BlockedIn.
inline pid_t ThreadId() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

/// True when thread ATid is inside one of the system calls ACalls (read from /proc).
inline bool BlockedIn(pid_t ATid, std::initializer_list<long> ACalls) {
  std::ifstream In("/proc/self/task/" + std::to_string(ATid) + "/syscall");
  long Number = -1;
  if (!(In >> Number)) return false;
  for (long C : ACalls)
    if (C == Number) return true;
  return false;
}

/// Waits until thread ATid (published through ATidSlot) is blocked in one of ACalls.
inline bool WaitBlockedIn(const std::atomic<pid_t>& ATidSlot, std::initializer_list<long> ACalls) {
  return WaitFor([&] {
    const pid_t Tid = ATidSlot.load();
    return Tid != 0 && BlockedIn(Tid, ACalls);
  });
}

/// The system calls a blocked wait, accept or receive sits in.
inline constexpr std::initializer_list<long> PollCalls = {SYS_poll, SYS_ppoll};
inline constexpr std::initializer_list<long> AcceptCalls = {SYS_accept, SYS_accept4};
inline constexpr std::initializer_list<long> RecvCalls = {SYS_recvfrom};
inline constexpr std::initializer_list<long> SendCalls = {SYS_sendto};

} // namespace IdTest
