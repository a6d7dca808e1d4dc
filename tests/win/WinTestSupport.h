// SPDX-License-Identifier: MIT
// The socket library's process-wide state for the Windows tests. Each ctest entry is a process
// of its own, but the whole program may also run in one process: these helpers make each test's
// starting state explicit and leave the library loaded and started for the next test.
#pragma once

#include "idframework/net/detail/IdStackWindows.h"
#include "idframework/net/detail/IdWinsock2.h"

#include <string>

namespace IdTest {

inline constexpr uint16_t SocketLibraryVersion = 0x0202;

/// A reference of the test program's own that keeps the library in memory when the binding
/// releases it: Wine's library, once unloaded and loaded again, no longer recognises its own
/// new sockets (bind fails with 10038), so the binding's unload is tested without the module
/// really leaving the process.
inline const HMODULE PinnedSocketLibrary = ::LoadLibraryA("WS2_32.DLL");

/// Loads the library (and starts it) when a stack has started it before and it is not loaded
/// now, as after a test that unloaded it.
inline void ReloadIfStarted() {
  if (Id::SocketLibraryStarted() && !Id::SocketLibraryHandle()) {
    WSADATA Data{};
    Id::StartSocketLibrary(SocketLibraryVersion, &Data);
  }
}

/// The program-end steps: the library's clean-up when it is loaded, then the unload, so that every
/// start-up of the library is matched by a clean-up.
inline void EndSocketLibrary() {
  if (Id::SocketLibraryHandle()) Id::WS2::WSACleanup();
  Id::UnloadSocketLibrary();
}

/// The library loaded and started, with every entry back on its stub.
inline void LoadFreshLibrary() {
  EndSocketLibrary();
  Id::TIdStackWindows Stack; // starts the library when no stack of this process has
  ReloadIfStarted();
}

/// The number of table rows whose entry still holds its stub.
inline size_t RowsOnStub() {
  size_t Count = 0;
  for (const auto& Row : Id::WS2::BoundFunctionTable)
    if (Row.OnStub()) ++Count;
  return Count;
}

/// The table row of an entry name.
inline const Id::WS2::TBoundFunctionRow& RowNamed(const std::string& AName) {
  for (const auto& Row : Id::WS2::BoundFunctionTable)
    if (AName == Row.Name) return Row;
  throw std::out_of_range(AName);
}

} // namespace IdTest
