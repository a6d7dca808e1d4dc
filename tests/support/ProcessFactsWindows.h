// SPDX-License-Identifier: MIT
// The process's handle and thread counts from the system. Included by ProcessFacts.h only.
#pragma once

#include <winsock2.h>

#include <windows.h>

#include <tlhelp32.h>

namespace IdTest {

inline int OpenDescriptorCount() {
  DWORD Count = 0;
  if (!::GetProcessHandleCount(::GetCurrentProcess(), &Count)) return -1;
  return static_cast<int>(Count);
}

inline int ThreadCount() {
  const HANDLE Snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (Snapshot == INVALID_HANDLE_VALUE) return -1;
  const DWORD Self = ::GetCurrentProcessId();
  int Count = 0;
  THREADENTRY32 Entry{};
  Entry.dwSize = sizeof(Entry);
  for (BOOL More = ::Thread32First(Snapshot, &Entry); More; More = ::Thread32Next(Snapshot, &Entry))
    if (Entry.th32OwnerProcessID == Self) ++Count;
  ::CloseHandle(Snapshot);
  return Count;
}

} // namespace IdTest
