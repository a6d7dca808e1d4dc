// SPDX-License-Identifier: MIT
#include "idframework/net/detail/IdWinsock2.h"

#include <cstring>

#include "idframework/core/IdResourceStrings.h"
#include "idframework/net/IdStack.h"

namespace Id {

namespace {

constexpr const char* SocketLibraryName = "WS2_32.DLL";
// TransmitFile, AcceptEx, GetAcceptExSockaddrs and WSARecvEx are not exports of WS2_32.DLL on
// any Windows version; the extension library that does export them is loaded when one of them is
// first called.
constexpr const char* ExtensionLibraryName = "MSWSOCK.DLL";
constexpr size_t FirstExtensionRow = 108;

std::atomic<HMODULE> FSocketLibrary{nullptr};
std::atomic<HMODULE> FExtensionLibrary{nullptr};

using TStartupFunction = decltype(&::WSAStartup);
// Set each time the library is loaded; separate from the table, and never reset.
std::atomic<TStartupFunction> FStartup{nullptr};

// The extension library, loaded once; a thread that loses the race to store its handle gives
// its own reference back.
HMODULE ExtensionLibrary() {
  HMODULE Library = FExtensionLibrary.load(std::memory_order_acquire);
  if (Library) return Library;
  HMODULE Loaded = ::LoadLibraryA(ExtensionLibraryName);
  if (!Loaded) return nullptr;
  if (FExtensionLibrary.compare_exchange_strong(Library, Loaded, std::memory_order_acq_rel))
    return Loaded;
  ::FreeLibrary(Loaded);
  return Library;
}

// An export's address as the function type it has; the detour through the generic function
// pointer type says that the cast between function types is meant.
template <class TPointer> TPointer ExportAs(FARPROC AAddress) noexcept {
  return reinterpret_cast<TPointer>(reinterpret_cast<void (*)()>(AAddress));
}

[[noreturn]] void RaiseCallError(const char* AName, uint32_t AErrorCode) {
  throw EIdWS2StubError(Format(RS::RSWS2CallError, {std::string(AName)}), AErrorCode);
}

} // namespace

EIdWS2StubError::EIdWS2StubError(const std::string& AMessage, uint32_t AErrorCode)
    : EIdException(AMessage), FErrorCode(AErrorCode), FBaseMessage(AMessage) {
  if (AErrorCode == 0) return;
  FErrorCodeText = SysErrorMessage(AErrorCode);
  SetMessage(FErrorCodeText + ": " + AMessage);
}

std::string SysErrorMessage(uint32_t AErrorCode) {
  char Buffer[512];
  DWORD Length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, AErrorCode, 0, Buffer, sizeof(Buffer), nullptr);
  // The system's texts end with a full stop and a line break, which the message form adds to.
  while (Length > 0 &&
         (static_cast<unsigned char>(Buffer[Length - 1]) <= ' ' || Buffer[Length - 1] == '.'))
    --Length;
  if (Length == 0) return Format("System error %d", {int64_t(AErrorCode)});
  return std::string(Buffer, Length);
}

namespace WS2 {

namespace {

// Each row's index, by entry name.
enum TRow : size_t {
#define ID_WS2_ROW_INDEX(Name, Export, Declared) Row_##Name,
  ID_WS2_BOUND_FUNCTIONS(ID_WS2_ROW_INDEX) ID_WS2_IPV6_FUNCTIONS(ID_WS2_ROW_INDEX)
#undef ID_WS2_ROW_INDEX
      RowCount
};
static_assert(RowCount == BoundFunctionCount + IPv6FunctionCount);
static_assert(Row_getaddrinfo == BoundFunctionCount);
static_assert(Row_TransmitFile == FirstExtensionRow);

template <size_t ARow, auto& AEntry, class TFunction> struct TResolvingStub;

// The resolving stub of one row: resolves the row, stores the address in the entry and
// continues into the library function with the caller's own arguments, returning its result.
template <size_t ARow, auto& AEntry, class TResult, class... TArgs>
struct TResolvingStub<ARow, AEntry, TResult (*)(TArgs...)> {
  static TResult Call(TArgs... AArgs) {
    const auto Address = ExportAs<TResult (*)(TArgs...)>(ResolveBoundFunction(ARow));
    AEntry.Bind(Address);
    return Address(AArgs...);
  }
};

} // namespace

// Constant-initialised: every entry is on its stub before any code of the program runs.
#define ID_WS2_DEFINE_ENTRY(Name, Export, Declared)                                                \
  constinit TBoundFunction<decltype(&::Declared)> Name{                                            \
      &TResolvingStub<Row_##Name, Name, decltype(&::Declared)>::Call};
ID_WS2_BOUND_FUNCTIONS(ID_WS2_DEFINE_ENTRY)
ID_WS2_IPV6_FUNCTIONS(ID_WS2_DEFINE_ENTRY)
#undef ID_WS2_DEFINE_ENTRY

#define ID_WS2_TABLE_ROW(Name, Export, Declared)                                                   \
  TBoundFunctionRow{#Name, #Export, []() noexcept { Name.Reset(); },                               \
                    []() noexcept { return Name.Target() == Name.Stub(); },                        \
                    []() noexcept { return reinterpret_cast<void*>(Name.Target()); }},
constinit const std::array<TBoundFunctionRow, BoundFunctionCount> BoundFunctionTable = {
    {ID_WS2_BOUND_FUNCTIONS(ID_WS2_TABLE_ROW)}};
constinit const std::array<TBoundFunctionRow, IPv6FunctionCount> IPv6FunctionTable = {
    {ID_WS2_IPV6_FUNCTIONS(ID_WS2_TABLE_ROW)}};
#undef ID_WS2_TABLE_ROW

FARPROC ResolveBoundFunction(size_t ARow) {
  const TBoundFunctionRow& Row = ARow < BoundFunctionCount
                                     ? BoundFunctionTable[ARow]
                                     : IPv6FunctionTable.at(ARow - BoundFunctionCount);
  HMODULE Library = FSocketLibrary.load(std::memory_order_acquire);
  if (!Library) RaiseCallError(Row.ExportName, static_cast<uint32_t>(WSA::NOTINITIALISED_));
  FARPROC Address = ::GetProcAddress(Library, Row.ExportName);
  if (!Address && ARow >= FirstExtensionRow && ARow < BoundFunctionCount) {
    if (HMODULE Extension = ExtensionLibrary())
      Address = ::GetProcAddress(Extension, Row.ExportName);
  }
  // A missing export must never be called: report it instead of storing a null entry.
  if (!Address) RaiseCallError(Row.ExportName, ::GetLastError());
  return Address;
}

} // namespace WS2

HMODULE SocketLibraryHandle() noexcept {
  return FSocketLibrary.load(std::memory_order_acquire);
}

int StartSocketLibrary(uint16_t AVersion, WSADATA* AData) {
  if (FSocketLibrary.load(std::memory_order_acquire)) return 0;
  HMODULE Library = ::LoadLibraryA(SocketLibraryName);
  if (!Library)
    throw EIdWS2StubError(Format(RS::RSWS2LoadError, {std::string(SocketLibraryName)}),
                          ::GetLastError());
  const auto Startup = ExportAs<TStartupFunction>(::GetProcAddress(Library, "WSAStartup"));
  if (!Startup) {
    const DWORD Error = ::GetLastError();
    ::FreeLibrary(Library);
    RaiseCallError("WSAStartup", Error);
  }
  FStartup.store(Startup, std::memory_order_release);
  FSocketLibrary.store(Library, std::memory_order_release);
  return Startup(AVersion, AData);
}

void ResetBoundFunctions() noexcept {
  FSocketLibrary.store(nullptr, std::memory_order_release);
  for (const auto& Row : WS2::BoundFunctionTable)
    Row.Reset();
  for (const auto& Row : WS2::IPv6FunctionTable)
    Row.Reset();
}

void UnloadSocketLibrary() noexcept {
  HMODULE Library = FSocketLibrary.exchange(nullptr, std::memory_order_acq_rel);
  if (!Library) return;
  if (HMODULE Extension = FExtensionLibrary.exchange(nullptr, std::memory_order_acq_rel))
    ::FreeLibrary(Extension);
  ::FreeLibrary(Library);
  ResetBoundFunctions();
}

} // namespace Id
