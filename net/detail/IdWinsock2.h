// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// The Windows Sockets 2 library, bound at run time. "WS2_32.DLL" is loaded by the first stack
// construction and never imported: every library function has an entry here that starts on a
// resolving stub; the first call looks the export up by name, stores its address in the entry and
// continues into it with the caller's own arguments, and later calls go straight to the library.
// Windows builds only.
#pragma once

#include <winsock2.h>

#include <mswsock.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "idframework/core/IdException.h"

// The generic names of the two-variant functions have entries of their own here (bound to the
// single-byte-text export); they must not be rewritten to the A names by the Windows headers.
#undef WSADuplicateSocket
#undef WSAEnumProtocols
#undef WSASocket
#undef WSAAddressToString
#undef WSAStringToAddress
#undef WSALookupServiceBegin
#undef WSALookupServiceNext
#undef WSAInstallServiceClass
#undef WSAGetServiceClassInfo
#undef WSAEnumNameSpaceProviders
#undef WSAGetServiceClassNameByClassId
#undef WSASetService

namespace Id {

/// The socket library cannot be loaded, or a function of it is called while it is not loaded (or
/// is not exported by it). ErrorCode is the system or socket error number (0 when none),
/// ErrorCodeText the system's text for it, BaseMessage the text given at construction; the
/// message is BaseMessage, or "<ErrorCodeText>: <BaseMessage>" when ErrorCode is not 0.
class EIdWS2StubError : public EIdException {
public:
  EIdWS2StubError(const std::string& AMessage, uint32_t AErrorCode);
  uint32_t ErrorCode() const noexcept { return FErrorCode; }
  const std::string& ErrorCodeText() const noexcept { return FErrorCodeText; }
  const std::string& BaseMessage() const noexcept { return FBaseMessage; }

private:
  uint32_t FErrorCode;
  std::string FErrorCodeText;
  std::string FBaseMessage;
};

/// The system's message text for an error number, without the trailing line break and full
/// stop; "System error <n>" when the system has none.
std::string SysErrorMessage(uint32_t AErrorCode);

/// The rows of the bound function table, in order: X(entry name, export name, the declared
/// library function whose type the entry has). Rows 96 to 107 are the generic entries of the
/// two-variant functions; rows 108 to 111 are the Microsoft extension functions.
// clang-format off
#define ID_WS2_BOUND_FUNCTIONS(X)                                                                \
  X(WSACleanup, WSACleanup, WSACleanup)                                                          \
  X(accept, accept, accept)                                                                      \
  X(bind, bind, bind)                                                                            \
  X(closesocket, closesocket, closesocket)                                                       \
  X(connect, connect, connect)                                                                   \
  X(ioctlsocket, ioctlsocket, ioctlsocket)                                                       \
  X(getpeername, getpeername, getpeername)                                                       \
  X(getsockname, getsockname, getsockname)                                                       \
  X(getsockopt, getsockopt, getsockopt)                                                          \
  X(htonl, htonl, htonl)                                                                         \
  X(htons, htons, htons)                                                                         \
  X(inet_addr, inet_addr, inet_addr)                                                             \
  X(inet_ntoa, inet_ntoa, inet_ntoa)                                                             \
  X(listen, listen, listen)                                                                      \
  X(ntohl, ntohl, ntohl)                                                                         \
  X(ntohs, ntohs, ntohs)                                                                         \
  X(recv, recv, recv)                                                                            \
  X(recvfrom, recvfrom, recvfrom)                                                                \
  X(select, select, select)                                                                      \
  X(send, send, send)                                                                            \
  X(sendto, sendto, sendto)                                                                      \
  X(setsockopt, setsockopt, setsockopt)                                                          \
  X(shutdown, shutdown, shutdown)                                                                \
  X(socket, socket, socket)                                                                      \
  X(gethostbyaddr, gethostbyaddr, gethostbyaddr)                                                 \
  X(gethostbyname, gethostbyname, gethostbyname)                                                 \
  X(gethostname, gethostname, gethostname)                                                       \
  X(getservbyport, getservbyport, getservbyport)                                                 \
  X(getservbyname, getservbyname, getservbyname)                                                 \
  X(getprotobynumber, getprotobynumber, getprotobynumber)                                        \
  X(getprotobyname, getprotobyname, getprotobyname)                                              \
  X(WSASetLastError, WSASetLastError, WSASetLastError)                                           \
  X(WSAGetLastError, WSAGetLastError, WSAGetLastError)                                           \
  X(WSAIsBlocking, WSAIsBlocking, WSAIsBlocking)                                                 \
  X(WSAUnhookBlockingHook, WSAUnhookBlockingHook, WSAUnhookBlockingHook)                         \
  X(WSASetBlockingHook, WSASetBlockingHook, WSASetBlockingHook)                                  \
  X(WSACancelBlockingCall, WSACancelBlockingCall, WSACancelBlockingCall)                         \
  X(WSAAsyncGetServByName, WSAAsyncGetServByName, WSAAsyncGetServByName)                         \
  X(WSAAsyncGetServByPort, WSAAsyncGetServByPort, WSAAsyncGetServByPort)                         \
  X(WSAAsyncGetProtoByName, WSAAsyncGetProtoByName, WSAAsyncGetProtoByName)                      \
  X(WSAAsyncGetProtoByNumber, WSAAsyncGetProtoByNumber, WSAAsyncGetProtoByNumber)                \
  X(WSAAsyncGetHostByName, WSAAsyncGetHostByName, WSAAsyncGetHostByName)                         \
  X(WSAAsyncGetHostByAddr, WSAAsyncGetHostByAddr, WSAAsyncGetHostByAddr)                         \
  X(WSACancelAsyncRequest, WSACancelAsyncRequest, WSACancelAsyncRequest)                         \
  X(WSAAsyncSelect, WSAAsyncSelect, WSAAsyncSelect)                                              \
  X(__WSAFDIsSet, __WSAFDIsSet, __WSAFDIsSet)                                                    \
  X(WSAAccept, WSAAccept, WSAAccept)                                                             \
  X(WSACloseEvent, WSACloseEvent, WSACloseEvent)                                                 \
  X(WSAConnect, WSAConnect, WSAConnect)                                                          \
  X(WSACreateEvent, WSACreateEvent, WSACreateEvent)                                              \
  X(WSADuplicateSocketA, WSADuplicateSocketA, WSADuplicateSocketA)                               \
  X(WSADuplicateSocketW, WSADuplicateSocketW, WSADuplicateSocketW)                               \
  X(WSAEnumNetworkEvents, WSAEnumNetworkEvents, WSAEnumNetworkEvents)                            \
  X(WSAEnumProtocolsA, WSAEnumProtocolsA, WSAEnumProtocolsA)                                     \
  X(WSAEnumProtocolsW, WSAEnumProtocolsW, WSAEnumProtocolsW)                                     \
  X(WSAEventSelect, WSAEventSelect, WSAEventSelect)                                              \
  X(WSAGetOverlappedResult, WSAGetOverlappedResult, WSAGetOverlappedResult)                      \
  X(WSAGetQosByName, WSAGetQosByName, WSAGetQOSByName)                                           \
  X(WSAHtonl, WSAHtonl, WSAHtonl)                                                                \
  X(WSAHtons, WSAHtons, WSAHtons)                                                                \
  X(WSAIoctl, WSAIoctl, WSAIoctl)                                                                \
  X(WSAJoinLeaf, WSAJoinLeaf, WSAJoinLeaf)                                                       \
  X(WSANtohl, WSANtohl, WSANtohl)                                                                \
  X(WSANtohs, WSANtohs, WSANtohs)                                                                \
  X(WSARecv, WSARecv, WSARecv)                                                                   \
  X(WSARecvDisconnect, WSARecvDisconnect, WSARecvDisconnect)                                     \
  X(WSARecvFrom, WSARecvFrom, WSARecvFrom)                                                       \
  X(WSAResetEvent, WSAResetEvent, WSAResetEvent)                                                 \
  X(WSASend, WSASend, WSASend)                                                                   \
  X(WSASendDisconnect, WSASendDisconnect, WSASendDisconnect)                                     \
  X(WSASendTo, WSASendTo, WSASendTo)                                                             \
  X(WSASetEvent, WSASetEvent, WSASetEvent)                                                       \
  X(WSASocketA, WSASocketA, WSASocketA)                                                          \
  X(WSASocketW, WSASocketW, WSASocketW)                                                          \
  X(WSAWaitForMultipleEvents, WSAWaitForMultipleEvents, WSAWaitForMultipleEvents)                \
  X(WSAAddressToStringA, WSAAddressToStringA, WSAAddressToStringA)                               \
  X(WSAAddressToStringW, WSAAddressToStringW, WSAAddressToStringW)                               \
  X(WSAStringToAddressA, WSAStringToAddressA, WSAStringToAddressA)                               \
  X(WSAStringToAddressW, WSAStringToAddressW, WSAStringToAddressW)                               \
  X(WSALookupServiceBeginA, WSALookupServiceBeginA, WSALookupServiceBeginA)                      \
  X(WSALookupServiceBeginW, WSALookupServiceBeginW, WSALookupServiceBeginW)                      \
  X(WSALookupServiceNextA, WSALookupServiceNextA, WSALookupServiceNextA)                         \
  X(WSALookupServiceNextW, WSALookupServiceNextW, WSALookupServiceNextW)                         \
  X(WSALookupServiceEnd, WSALookupServiceEnd, WSALookupServiceEnd)                               \
  X(WSAInstallServiceClassA, WSAInstallServiceClassA, WSAInstallServiceClassA)                   \
  X(WSAInstallServiceClassW, WSAInstallServiceClassW, WSAInstallServiceClassW)                   \
  X(WSARemoveServiceClass, WSARemoveServiceClass, WSARemoveServiceClass)                         \
  X(WSAGetServiceClassInfoA, WSAGetServiceClassInfoA, WSAGetServiceClassInfoA)                   \
  X(WSAGetServiceClassInfoW, WSAGetServiceClassInfoW, WSAGetServiceClassInfoW)                   \
  X(WSAEnumNameSpaceProvidersA, WSAEnumNameSpaceProvidersA, WSAEnumNameSpaceProvidersA)          \
  X(WSAEnumNameSpaceProvidersW, WSAEnumNameSpaceProvidersW, WSAEnumNameSpaceProvidersW)          \
  X(WSAGetServiceClassNameByClassIdA, WSAGetServiceClassNameByClassIdA,                          \
    WSAGetServiceClassNameByClassIdA)                                                            \
  X(WSAGetServiceClassNameByClassIdW, WSAGetServiceClassNameByClassIdW,                          \
    WSAGetServiceClassNameByClassIdW)                                                            \
  X(WSASetServiceA, WSASetServiceA, WSASetServiceA)                                              \
  X(WSASetServiceW, WSASetServiceW, WSASetServiceW)                                              \
  X(WSAProviderConfigChange, WSAProviderConfigChange, WSAProviderConfigChange)                   \
  X(WSADuplicateSocket, WSADuplicateSocketA, WSADuplicateSocketA)                                \
  X(WSAEnumProtocols, WSAEnumProtocolsA, WSAEnumProtocolsA)                                      \
  X(WSASocket, WSASocketA, WSASocketA)                                                           \
  X(WSAAddressToString, WSAAddressToStringA, WSAAddressToStringA)                                \
  X(WSAStringToAddress, WSAStringToAddressA, WSAStringToAddressA)                                \
  X(WSALookupServiceBegin, WSALookupServiceBeginA, WSALookupServiceBeginA)                       \
  X(WSALookupServiceNext, WSALookupServiceNextA, WSALookupServiceNextA)                          \
  X(WSAInstallServiceClass, WSAInstallServiceClassA, WSAInstallServiceClassA)                    \
  X(WSAGetServiceClassInfo, WSAGetServiceClassInfoA, WSAGetServiceClassInfoA)                    \
  X(WSAEnumNameSpaceProviders, WSAEnumNameSpaceProvidersA, WSAEnumNameSpaceProvidersA)           \
  X(WSAGetServiceClassNameByClassId, WSAGetServiceClassNameByClassIdA,                           \
    WSAGetServiceClassNameByClassIdA)                                                            \
  X(WSASetService, WSASetServiceA, WSASetServiceA)                                               \
  X(TransmitFile, TransmitFile, TransmitFile)                                                    \
  X(AcceptEx, AcceptEx, AcceptEx)                                                                \
  X(GetAcceptExSockaddrs, GetAcceptExSockaddrs, GetAcceptExSockaddrs)                            \
  X(WSARecvEx, WSARecvEx, WSARecvEx)

/// The IPv6 entry points of the library: name and address lookups of either version. Bound like
/// the rows above, in a table of their own after them (rows 112 to 114).
#define ID_WS2_IPV6_FUNCTIONS(X)                                                                 \
  X(getaddrinfo, getaddrinfo, getaddrinfo)                                                       \
  X(freeaddrinfo, freeaddrinfo, freeaddrinfo)                                                    \
  X(getnameinfo, getnameinfo, getnameinfo)
// clang-format on

namespace WS2 {

static_assert(sizeof(void*) == 8, "the entries are declared for the 64-bit calling convention");

template <class TFunction> class TBoundFunction;

/// One bound function entry: called exactly like the library function. The entry holds either
/// the row's resolving stub or the library's address, in one atomic pointer, so that threads
/// making the first call at once race harmlessly; after that a call costs one indirect call.
template <class TResult, class... TArgs> class TBoundFunction<TResult (*)(TArgs...)> {
public:
  using TPointer = TResult (*)(TArgs...);

  constexpr explicit TBoundFunction(TPointer AStub) noexcept : FStub(AStub), FEntry(AStub) {}
  TBoundFunction(const TBoundFunction&) = delete;
  TBoundFunction& operator=(const TBoundFunction&) = delete;

  /// Calls the library function. The first call after start-up raises EIdWS2StubError when the
  /// library is not loaded or does not export the function.
  TResult operator()(TArgs... AArgs) const {
    return FEntry.load(std::memory_order_acquire)(AArgs...);
  }
  /// What a call through the entry reaches now: the stub or the library's address.
  TPointer Target() const noexcept { return FEntry.load(std::memory_order_acquire); }
  TPointer Stub() const noexcept { return FStub; }
  /// Stores a resolved address; any thread.
  void Bind(TPointer AAddress) noexcept { FEntry.store(AAddress, std::memory_order_release); }
  /// Puts the entry back on its stub; any thread.
  void Reset() noexcept { FEntry.store(FStub, std::memory_order_release); }

private:
  const TPointer FStub;
  std::atomic<TPointer> FEntry;
};

#define ID_WS2_DECLARE_ENTRY(Name, Export, Declared)                                               \
  extern TBoundFunction<decltype(&::Declared)> Name;
ID_WS2_BOUND_FUNCTIONS(ID_WS2_DECLARE_ENTRY)
ID_WS2_IPV6_FUNCTIONS(ID_WS2_DECLARE_ENTRY)
#undef ID_WS2_DECLARE_ENTRY

/// One row of the bound function table: the entry's name, the export it resolves through, and
/// type-free access to the entry.
struct TBoundFunctionRow {
  const char* Name;
  const char* ExportName;
  /// Puts the row's entry back on its stub.
  void (*Reset)() noexcept;
  /// True while the row's entry still holds its stub.
  bool (*OnStub)() noexcept;
  /// The address the entry holds now (the stub's or the library's).
  void* (*Target)() noexcept;
};

inline constexpr size_t BoundFunctionCount = 112;
/// The 112 rows in their fixed order.
extern const std::array<TBoundFunctionRow, BoundFunctionCount> BoundFunctionTable;
inline constexpr size_t IPv6FunctionCount = 3;
/// The rows of the IPv6 entry points (getaddrinfo, freeaddrinfo, getnameinfo), which resolve as
/// rows BoundFunctionCount and up.
extern const std::array<TBoundFunctionRow, IPv6FunctionCount> IPv6FunctionTable;

/// The address of row ARow's export in the loaded library. Raises EIdWS2StubError with
/// "Error on call Winsock2 library function <name>" and 10093 when the library is not loaded,
/// or with the system's error number when the library does not export the name (the extension
/// rows 108..111 are also looked up in the extension library that really exports them).
/// Called by the resolving stubs, on whatever thread makes the first call. Rows from
/// BoundFunctionCount on are those of IPv6FunctionTable.
FARPROC ResolveBoundFunction(size_t ARow);

} // namespace WS2

/// The loaded library's module handle; nullptr while not loaded.
HMODULE SocketLibraryHandle() noexcept;

/// Loads "WS2_32.DLL" and runs its start-up (WSAStartup) with the same arguments and result.
/// Returns 0 at once, without the library's start-up, when the library is already loaded.
/// Raises EIdWS2StubError when the library cannot be loaded ("Error on loading Winsock2
/// library (WS2_32.DLL)" with the system's error) or has no start-up export; the library is then
/// not left loaded. Called by the stack constructor under the stack lock.
int StartSocketLibrary(uint16_t AVersion, WSADATA* AData);

/// Marks the library as not loaded and puts every entry (of both tables) back on its stub. The
/// start-up entry is not touched, nor is the library released.
void ResetBoundFunctions() noexcept;

/// Releases the library, when loaded, and puts every entry back on its stub; only one caller of
/// several releases it. Unloading twice, or a library never loaded, does nothing.
void UnloadSocketLibrary() noexcept;

} // namespace Id
