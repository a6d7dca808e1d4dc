// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// What the machine lets the process have: descriptors, threads and memory, read from the
// process's resource limits, its control groups and the kernel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Id {

/// Room for more of one resource at one moment: how many more units the process may take now,
/// under a limit of Limit units. Room may be negative (a limit lowered under the use).
struct TIdRoom {
  int64_t Room = 0;
  int64_t Limit = 0;
};

/// The threads and memory the process may still take, each none when nothing limits it.
struct TIdMachineRoom {
  /// The least room of: RLIMIT_NPROC against the process's own threads (not for root, whom it
  /// does not hold), each pids control group of the process (pids.max against pids.current),
  /// and the kernel's threads-max against every thread of the system.
  std::optional<TIdRoom> Threads;
  /// Bytes, the least room of each memory control group of the process: its limit against its
  /// use less its page cache (which the system reclaims before it runs out).
  std::optional<TIdRoom> Memory;
};

/// Reads the process's limits. The control groups (version 1 or 2) are found once, when the
/// reader is made; the readings read small files of /proc and of the groups.
///
/// Threads: one thread at a time (a server's listener).
class TIdMachineLimits {
public:
  TIdMachineLimits();

  /// RLIMIT_NOFILE (the soft limit); none when unlimited or unknown.
  static std::optional<int64_t> DescriptorLimit();
  /// The descriptors the process has open (a directory walk: slow with many thousands open).
  static int64_t OpenDescriptors();
  /// The room for threads and memory now.
  TIdMachineRoom ReadRoom() const;

private:
  std::optional<TIdRoom> ThreadRoom() const;
  std::optional<TIdRoom> MemoryRoom() const;

  std::vector<std::string> FPidsGroups;   // the directory of each pids group, up to the root
  std::vector<std::string> FMemoryGroups; // the same for memory
  bool FMemoryVersion2 = false;           // memory.max rather than memory.limit_in_bytes
};

} // namespace Id
