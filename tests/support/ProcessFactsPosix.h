// SPDX-License-Identifier: MIT
// The process's descriptor and thread counts from /proc. Included by ProcessFacts.h only.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace IdTest {

/// Entries of a /proc directory, without "." and "..".
inline int CountDirectoryEntries(const char* APath) {
  DIR* Dir = ::opendir(APath);
  if (!Dir) return -1;
  int Count = 0;
  while (dirent* Entry = ::readdir(Dir))
    if (std::strcmp(Entry->d_name, ".") != 0 && std::strcmp(Entry->d_name, "..") != 0) ++Count;
  ::closedir(Dir);
  return Count - (std::strcmp(APath, "/proc/self/fd") == 0 ? 1 : 0); // opendir's own descriptor
}
inline int OpenDescriptorCount() {
  return CountDirectoryEntries("/proc/self/fd");
}
inline int ThreadCount() {
  return CountDirectoryEntries("/proc/self/task");
}

/// The highest descriptor number in use (not counting the one this look takes itself).
inline int HighestOpenDescriptor() {
  int Highest = 0;
  DIR* Dir = ::opendir("/proc/self/fd");
  const int Own = ::dirfd(Dir);
  while (dirent* Entry = ::readdir(Dir))
    if (std::atoi(Entry->d_name) != Own) Highest = std::max(Highest, std::atoi(Entry->d_name));
  ::closedir(Dir);
  return Highest;
}

} // namespace IdTest
