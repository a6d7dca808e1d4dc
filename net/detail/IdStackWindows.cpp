// SPDX-License-Identifier: MIT
#include "idframework/net/detail/IdStackWindows.h"

#include "idframework/net/detail/IdWinsock2.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "idframework/core/IdResourceStrings.h"
#include "idframework/runtime/CriticalSection.h"

namespace Id {

namespace {

constexpr uint16_t SocketLibraryVersion = 0x0202;
constexpr int AddressRecordLength = sizeof(sockaddr_in);
static_assert(AddressRecordLength == 16);
constexpr size_t SelectSetSize = 64;
static_assert(FD_SETSIZE == SelectSetSize);

std::atomic<bool> FSocketLibraryStarted{false};
// Stacks are normally made under the stack lock; this keeps a stack made directly (as tests
// do) from starting the library twice.
TMutex FStartLock;

// Library sockets are handles, sign-extended from 32 bits on 64-bit Windows; the framework keeps
// the low 32 bits, which turn INVALID_SOCKET into InvalidSocketDescriptor.
TIdSocketDescriptor DescriptorOf(SOCKET ASocket) noexcept {
  return static_cast<TIdSocketDescriptor>(ASocket);
}

SOCKET SocketOf(TIdSocketDescriptor ASocket) noexcept {
  return static_cast<SOCKET>(static_cast<intptr_t>(static_cast<int32_t>(ASocket)));
}

sockaddr_in AddressRecord(int32_t AFamily, uint32_t AAddress, int32_t APort) {
  sockaddr_in Record{};
  Record.sin_family = static_cast<ADDRESS_FAMILY>(AFamily);
  Record.sin_port = WS2::htons(static_cast<u_short>(APort));
  Record.sin_addr.s_addr = AAddress;
  return Record;
}

TIdIPv4Bytes BytesOf(const in_addr& AAddress) {
  TIdIPv4Bytes Bytes;
  std::memcpy(Bytes.data(), &AAddress, Bytes.size());
  return Bytes;
}

// A socket address record of either family, as the library takes and gives it.
struct TAddressRecord {
  SOCKADDR_STORAGE Storage{};
  int Length = sizeof(SOCKADDR_STORAGE);
  sockaddr* Raw() noexcept { return reinterpret_cast<sockaddr*>(&Storage); }
};

// The IPv6 record of an address text (empty: any address). The scope must be an interface
// number: false for any other scope. An address text that is none raises EConvertError.
bool IPv6Record(const std::string& AIP, int32_t APort, TAddressRecord& ARecord) {
  auto& In6 = reinterpret_cast<sockaddr_in6&>(ARecord.Storage);
  In6.sin6_family = AF_INET6;
  In6.sin6_port = WS2::htons(static_cast<u_short>(APort));
  ARecord.Length = sizeof(sockaddr_in6);
  if (AIP.empty()) return true;
  TIdIPv6Bytes Bytes;
  std::string Scope;
  TIdStack::ParseIPv6AddressText(AIP, Bytes, Scope);
  std::memcpy(&In6.sin6_addr, Bytes.data(), Bytes.size());
  int32_t ScopeId = 0;
  if (Scope.empty()) return true;
  if (!TryStrToInt(Scope, ScopeId) || ScopeId <= 0) return false;
  In6.sin6_scope_id = static_cast<ULONG>(ScopeId);
  return true;
}

// The record for AFamily: the IPv6 one, else the IPv4 record of the table (family as given).
bool MakeRecord(TIdStack& AStack, int32_t AFamily, const std::string& AIP, int32_t APort,
                TAddressRecord& ARecord) {
  if (AFamily == Id_PF_INET6) return IPv6Record(AIP, APort, ARecord);
  reinterpret_cast<sockaddr_in&>(ARecord.Storage) =
      AddressRecord(AFamily, AIP.empty() ? 0 : AStack.TextToAddress(AIP), APort);
  ARecord.Length = AddressRecordLength;
  return true;
}

// A failed call of the stack itself, with the library's last error set as a call would set it.
int32_t RefuseWith(int AError) {
  WS2::WSASetLastError(AError);
  return SocketErrorResult;
}

// The family, text and port of a record. An IPv4-mapped IPv6 address (an IPv4 peer of a
// dual-stack socket) reads as the IPv4 address it is.
void ReadRecord(TIdStackWindows& AStack, const SOCKADDR_STORAGE& ARecord, int32_t& AFamily,
                std::string& AIP, int32_t& APort) {
  if (ARecord.ss_family != AF_INET6) {
    const auto& In = reinterpret_cast<const sockaddr_in&>(ARecord);
    AFamily = In.sin_family;
    AIP = AStack.AddressToText(BytesOf(In.sin_addr));
    APort = WS2::ntohs(In.sin_port);
    return;
  }
  const auto& In6 = reinterpret_cast<const sockaddr_in6&>(ARecord);
  TIdIPv6Bytes Bytes;
  std::memcpy(Bytes.data(), &In6.sin6_addr, Bytes.size());
  APort = WS2::ntohs(In6.sin6_port);
  AIP = AStack.ReceivedIPv6Text(
      Bytes, In6.sin6_scope_id ? std::to_string(In6.sin6_scope_id) : std::string(), AFamily);
}

struct TAddrInfoFree {
  void operator()(addrinfo* A) const { WS2::freeaddrinfo(A); }
};

// Fills a select set from a list; an absent list leaves the set empty.
void FillSelectSet(fd_set& ASet, const TIdSocketDescriptorList* AList) {
  ASet.fd_count = 0;
  if (!AList) return;
  if (AList->size() > SelectSetSize) throw EIdStackSetSizeExceeded();
  for (TIdSocketDescriptor Socket : *AList)
    ASet.fd_array[ASet.fd_count++] = SocketOf(Socket);
}

// Rewrites a present list with the ready descriptors, in the order the library reports them.
void ReadSelectSet(const fd_set& ASet, TIdSocketDescriptorList* AList) {
  if (!AList) return;
  AList->clear();
  AList->reserve(ASet.fd_count);
  for (u_int I = 0; I < ASet.fd_count; ++I)
    AList->push_back(DescriptorOf(ASet.fd_array[I]));
}

// A kernel handle closed whatever way its holder leaves.
class THandleCloser {
public:
  explicit THandleCloser(HANDLE AHandle) : FHandle(AHandle) {}
  ~THandleCloser() { ::CloseHandle(FHandle); }
  THandleCloser(const THandleCloser&) = delete;
  THandleCloser& operator=(const THandleCloser&) = delete;

private:
  HANDLE FHandle;
};

bool IsNTFamily() {
  OSVERSIONINFOA Info{};
  Info.dwOSVersionInfoSize = sizeof(Info);
  return ::GetVersionExA(&Info) && Info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

// The program-start registration and the program-end clean-up of this unit. Made during static
// initialisation, so it is destroyed after everything built later (the thread bookkeeping made
// with the first thread among it) is gone.
struct TUnitLifetime {
  TUnitLifetime() {
    if (IsNTFamily()) FileTransmitter() = &TransmitFileToSocket;
  }
  ~TUnitLifetime() {
    // Whoever unloaded the library early has ended its use already; a destructor must not throw.
    if (FSocketLibraryStarted.load() && SocketLibraryHandle()) {
      try {
        WS2::WSACleanup();
      } catch (const EIdWS2StubError&) {
      }
    }
    UnloadSocketLibrary();
  }
};
const TUnitLifetime UnitLifetime;

} // namespace

std::unique_ptr<TIdStack> NewPlatformStack() {
  return std::make_unique<TIdStackWindows>();
}

std::unique_ptr<TIdSocketList> NewPlatformSocketList() {
  return std::make_unique<TIdSocketListWindows>();
}

bool SocketLibraryStarted() noexcept {
  return FSocketLibraryStarted.load();
}

// ---------------------------------------------------------------------------------------------
// TIdStackWindows

TIdStackWindows::TIdStackWindows() {
  TLockGuard<TMutex> Guard(FStartLock);
  if (FSocketLibraryStarted.load()) return;
  WSADATA StartupData{};
  if (StartSocketLibrary(SocketLibraryVersion, &StartupData) != 0) {
    // Left loaded, the library would count as started by the next construction, which finds
    // it loaded and skips the start-up that has just failed.
    UnloadSocketLibrary();
    throw EIdStackInitializationFailed();
  }
  FSocketLibraryStarted.store(true);
}

void TIdStackWindows::FillLocalAddresses() {
  if (!FLocalAddressList) FLocalAddressList = std::make_unique<TStringList>();
  FLocalAddressList->Clear();
  const hostent* Host = WS2::gethostbyname(SockLocalHostName().c_str());
  if (!Host) CheckSocketResult(SocketErrorResult);
  for (char** Entry = Host->h_addr_list; *Entry; ++Entry)
    FLocalAddressList->Add(AddressToText(BytesOf(*reinterpret_cast<const in_addr*>(*Entry))));
}

std::string TIdStackWindows::FirstLocalAddress() {
  return GetLocalAddressList()[0];
}

TStringList& TIdStackWindows::GetLocalAddressList() {
  if (!FLocalAddressList) FLocalAddressList = std::make_unique<TStringList>();
  FillLocalAddresses();
  return *FLocalAddressList;
}

TIdSocketDescriptor TIdStackWindows::SockAccept(TIdSocketDescriptor ASocket, std::string& AIP,
                                                int32_t& APort) {
  TAddressRecord Record;
  const SOCKET Result = WS2::accept(SocketOf(ASocket), Record.Raw(), &Record.Length);
  int32_t Family = 0;
  ReadRecord(*this, Record.Storage, Family, AIP, APort);
  return DescriptorOf(Result);
}

int32_t TIdStackWindows::SockBind(TIdSocketDescriptor ASocket, int32_t AFamily,
                                  const std::string& AIP, int32_t APort) {
  TAddressRecord Record;
  if (!MakeRecord(*this, AFamily, AIP, APort, Record)) return RefuseWith(WSAEINVAL);
  return WS2::bind(SocketOf(ASocket), Record.Raw(), Record.Length);
}

int32_t TIdStackWindows::SockClose(TIdSocketDescriptor ASocket) {
  return WS2::closesocket(SocketOf(ASocket));
}

int32_t TIdStackWindows::SockConnect(TIdSocketDescriptor ASocket, int32_t AFamily,
                                     const std::string& AIP, int32_t APort) {
  TAddressRecord Record;
  // An IPv4 address text must be there: an empty one is a conversion error, not any address.
  if (AFamily != Id_PF_INET6 && AIP.empty()) TextToAddress(AIP);
  if (!MakeRecord(*this, AFamily, AIP, APort, Record)) return RefuseWith(WSAEINVAL);
  return WS2::connect(SocketOf(ASocket), Record.Raw(), Record.Length);
}

std::string TIdStackWindows::SockHostToAddress(const std::string& AHost) {
  const hostent* Host = WS2::gethostbyname(AHost.c_str());
  if (!Host) CheckSocketResult(SocketErrorResult);
  return AddressToText(BytesOf(*reinterpret_cast<const in_addr*>(Host->h_addr_list[0])));
}

TIdIPAddressList TIdStackWindows::SockHostToAddresses(const std::string& AHost,
                                                      TIdIPVersions AVersions) {
  addrinfo Hints{};
  Hints.ai_family = AVersions == TIdIPVersions::vsIPv4   ? AF_INET
                    : AVersions == TIdIPVersions::vsIPv6 ? AF_INET6
                                                         : AF_UNSPEC;
  Hints.ai_socktype = SOCK_STREAM;
  addrinfo* Found = nullptr;
  const int Result = WS2::getaddrinfo(AHost.c_str(), nullptr, &Hints, &Found);
  if (Result != 0) ThrowSocketError(Result);
  const std::unique_ptr<addrinfo, TAddrInfoFree> Owned(Found);
  TIdIPAddressList Addresses;
  for (const addrinfo* A = Found; A; A = A->ai_next) {
    if (A->ai_family != AF_INET && A->ai_family != AF_INET6) continue;
    SOCKADDR_STORAGE Record{};
    std::memcpy(&Record, A->ai_addr, std::min<size_t>(A->ai_addrlen, sizeof(Record)));
    std::string Text;
    int32_t Family = 0, Port = 0;
    ReadRecord(*this, Record, Family, Text, Port);
    AddLookupResult(Addresses, Family, std::move(Text));
  }
  if (Addresses.empty()) ThrowSocketError(WSA::HOST_NOT_FOUND_);
  return Addresses;
}

std::string TIdStackWindows::SockLocalHostName() {
  char Name[250] = {};
  WS2::gethostname(Name, sizeof(Name));
  return std::string(Name, strnlen(Name, sizeof(Name)));
}

std::string TIdStackWindows::SockAddressToHost(const std::string& AIP) {
  if (IsIPv6AddressText(AIP)) {
    TAddressRecord Record;
    if (!IPv6Record(AIP, 0, Record)) ThrowSocketError(WSA::HOST_NOT_FOUND_);
    char Host[NI_MAXHOST] = {};
    const int Result =
        WS2::getnameinfo(Record.Raw(), Record.Length, Host, sizeof(Host), nullptr, 0, NI_NAMEREQD);
    if (Result != 0) ThrowSocketError(Result);
    return Host;
  }
  const u_long Address = WS2::inet_addr(AIP.c_str());
  const hostent* Host =
      WS2::gethostbyaddr(reinterpret_cast<const char*>(&Address), sizeof(Address), AF_INET);
  if (!Host) CheckSocketResult(SocketErrorResult);
  return Host->h_name;
}

int32_t TIdStackWindows::SockServicePort(const std::string& AService) {
  if (const servent* Service = WS2::getservbyname(AService.c_str(), nullptr))
    return WS2::ntohs(static_cast<u_short>(Service->s_port));
  try {
    return StrToInt(AService);
  } catch (const EConvertError&) {
    throw MakeInvalidServiceName(AService);
  }
}

std::unique_ptr<TStringList> TIdStackWindows::SockPortServices(int32_t APort) {
  auto Result = std::make_unique<TStringList>();
  const servent* Service = WS2::getservbyport(WS2::htons(static_cast<u_short>(APort)), nullptr);
  if (!Service) return Result;
  Result->Add(Service->s_name);
  for (char** Alias = Service->s_aliases; Alias && *Alias; ++Alias)
    Result->Add(*Alias);
  return Result;
}

uint16_t TIdStackWindows::SockHostToNet16(uint16_t AValue) {
  return WS2::htons(AValue);
}

int32_t TIdStackWindows::SockListen(TIdSocketDescriptor ASocket, int32_t ABacklog) {
  return WS2::listen(SocketOf(ASocket), ABacklog);
}

uint16_t TIdStackWindows::SockNetToHost16(uint16_t AValue) {
  return WS2::ntohs(AValue);
}

uint32_t TIdStackWindows::SockHostToNet32(uint32_t AValue) {
  return WS2::htonl(AValue);
}

uint32_t TIdStackWindows::SockNetToHost32(uint32_t AValue) {
  return WS2::ntohl(AValue);
}

int32_t TIdStackWindows::SockRecv(TIdSocketDescriptor ASocket, void* ABuffer, int32_t ALength,
                                  int32_t AFlags) {
  return WS2::recv(SocketOf(ASocket), static_cast<char*>(ABuffer), ALength, AFlags);
}

int32_t TIdStackWindows::SockRecvFrom(TIdSocketDescriptor ASocket, void* ABuffer, int32_t ALength,
                                      int32_t AFlags, std::string& AIP, int32_t& APort) {
  TAddressRecord Record;
  const int32_t Result = WS2::recvfrom(SocketOf(ASocket), static_cast<char*>(ABuffer), ALength,
                                       AFlags, Record.Raw(), &Record.Length);
  int32_t Family = 0;
  ReadRecord(*this, Record.Storage, Family, AIP, APort);
  return Result;
}

int32_t TIdStackWindows::SockSelect(TIdSocketDescriptorList* ARead, TIdSocketDescriptorList* AWrite,
                                    TIdSocketDescriptorList* AError, int32_t ATimeout) {
  fd_set ReadSet, WriteSet, ErrorSet;
  FillSelectSet(ReadSet, ARead);
  FillSelectSet(WriteSet, AWrite);
  FillSelectSet(ErrorSet, AError);
  timeval Time{ATimeout / 1000, (ATimeout % 1000) * 1000};
  const int32_t Result =
      WS2::select(0, &ReadSet, &WriteSet, &ErrorSet, ATimeout == TimeoutInfinite ? nullptr : &Time);
  ReadSelectSet(ReadSet, ARead);
  ReadSelectSet(WriteSet, AWrite);
  ReadSelectSet(ErrorSet, AError);
  return Result;
}

int32_t TIdStackWindows::SockSend(TIdSocketDescriptor ASocket, const void* ABuffer, int32_t ALength,
                                  int32_t AFlags) {
  return WS2::send(SocketOf(ASocket), static_cast<const char*>(ABuffer), ALength, AFlags);
}

int32_t TIdStackWindows::SockSendTo(TIdSocketDescriptor ASocket, const void* ABuffer,
                                    int32_t ALength, int32_t AFlags, const std::string& AIP,
                                    int32_t APort) {
  TAddressRecord Record;
  if (!MakeRecord(*this, IsIPv6AddressText(AIP) ? Id_PF_INET6 : Id_PF_INET, AIP, APort, Record))
    return RefuseWith(WSAEINVAL);
  return WS2::sendto(SocketOf(ASocket), static_cast<const char*>(ABuffer), ALength, AFlags,
                     Record.Raw(), Record.Length);
}

int32_t TIdStackWindows::SockSetOption(TIdSocketDescriptor ASocket, int32_t ALevel,
                                       int32_t AOptName, const void* AOptVal, int32_t AOptLen) {
  return WS2::setsockopt(SocketOf(ASocket), ALevel, AOptName, static_cast<const char*>(AOptVal),
                         AOptLen);
}

TIdSocketDescriptor TIdStackWindows::SockCreate(int32_t AFamily, int32_t AType, int32_t AProtocol) {
  return DescriptorOf(WS2::socket(AFamily, AType, AProtocol));
}

int32_t TIdStackWindows::SockShutdown(TIdSocketDescriptor ASocket, int32_t AHow) {
  return WS2::shutdown(SocketOf(ASocket), AHow);
}

std::string TIdStackWindows::SockErrorText(int32_t AErrorNumber) {
  if (AErrorNumber == WSA::HOST_NOT_FOUND_)
    return Format(RS::RSStackError, {int64_t(AErrorNumber), std::string(RS::RSHostNotFound)});
  return TIdStack::SockErrorText(AErrorNumber);
}

int32_t TIdStackWindows::SockLastError() {
  return WS2::WSAGetLastError();
}

void TIdStackWindows::SockPeerAddress(TIdSocketDescriptor ASocket, int32_t& AFamily,
                                      std::string& AIP, int32_t& APort) {
  TAddressRecord Record;
  CheckSocketResult(WS2::getpeername(SocketOf(ASocket), Record.Raw(), &Record.Length));
  ReadRecord(*this, Record.Storage, AFamily, AIP, APort);
}

void TIdStackWindows::SockLocalAddress(TIdSocketDescriptor ASocket, int32_t& AFamily,
                                       std::string& AIP, int32_t& APort) {
  TAddressRecord Record;
  CheckSocketResult(WS2::getsockname(SocketOf(ASocket), Record.Raw(), &Record.Length));
  ReadRecord(*this, Record.Storage, AFamily, AIP, APort);
}

int32_t TIdStackWindows::SockGetOption(TIdSocketDescriptor ASocket, int32_t ALevel,
                                       int32_t AOptName, void* AOptVal, int32_t& AOptLen) {
  return WS2::getsockopt(SocketOf(ASocket), ALevel, AOptName, static_cast<char*>(AOptVal),
                         &AOptLen);
}

// ---------------------------------------------------------------------------------------------
// TIdSocketListWindows

// ---------------------------------------------------------------------------------------------
// Whole-file sending

int64_t TransmitFileToSocket(TIdSocketDescriptor ASocket, const std::string& AFileName) {
  const HANDLE File =
      ::CreateFileA(AFileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (File == INVALID_HANDLE_VALUE) return 0;
  THandleCloser Closer(File);
  if (!WS2::TransmitFile(SocketOf(ASocket), File, 0, 0, nullptr, nullptr, 0)) return 0;
  // The whole size, also beyond 4 GiB.
  LARGE_INTEGER Size{};
  return ::GetFileSizeEx(File, &Size) ? Size.QuadPart : 0;
}

} // namespace Id
