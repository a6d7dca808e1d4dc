// SPDX-License-Identifier: MIT
#include "idframework/net/detail/IdStackBSD.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "idframework/core/IdResourceStrings.h"
#include "idframework/runtime/Thread.h"

namespace Id {

namespace {

// ---------------------------------------------------------------------------------------------
// Error numbers

struct TErrnoMapping {
  int Errno;
  int32_t Number;
};

// Every errno a socket call can give, with its Windows Sockets number.
constexpr TErrnoMapping ErrnoMappings[] = {
    {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},
    {EPERM, 10013},        {EFAULT, 10014},          {EINVAL, 10022},
    {EMFILE, 10024},       {ENFILE, 10024},          {EAGAIN, 10035},
    {EINPROGRESS, 10036},  {EALREADY, 10037},        {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
    {ENETUNREACH, 10051},  {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {ENOBUFS, 10055},         {ENOMEM, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
    {EPIPE, 10058},        {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061}, {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},
};

// Lookup results of the Windows numbering beyond the base table.
constexpr int32_t WSATryAgain = 11002;
constexpr int32_t WSANoRecovery = 11003;

// The calling thread's last socket error, written right after the failing call so that later
// library calls (which may touch errno) cannot change it.
thread_local int32_t TlsLastError = 0;

// A thread reused for another body starts without the last one's error.
const bool LastErrorResetRegistered = [] {
  RegisterThreadRunReset([] { TlsLastError = 0; });
  return true;
}();

int32_t FailWith(int32_t ANumber) {
  (void)LastErrorResetRegistered;
  TlsLastError = ANumber;
  return SocketErrorResult;
}

int32_t FailErrno(int AErrno) {
  return FailWith(TIdStackBSD::ErrorFromErrno(AErrno));
}

// ---------------------------------------------------------------------------------------------
// Descriptors: the stack keeps no state of its own about them. Who may close a socket while
// other threads use it is the socket handle's business.

// The system's number of a descriptor; -1 (refused by every call with EBADF) for one above the
// range of the system's numbers.
int FdOf(TIdSocketDescriptor ADescriptor) {
  return ADescriptor > static_cast<TIdSocketDescriptor>(INT_MAX) ? -1
                                                                 : static_cast<int>(ADescriptor);
}

TIdSocketDescriptor FromFd(int AFd) {
  return AFd < 0 ? InvalidSocketDescriptor : static_cast<TIdSocketDescriptor>(AFd);
}

// The raw result of a call that gives 0 on success.
int32_t ResultOf(int ASystemResult) {
  return ASystemResult == 0 ? 0 : FailErrno(errno);
}

// An integer option of the socket level; -1 when it cannot be read.
int SocketLevelOption(int AFd, int AName) {
  int Value = 0;
  socklen_t Length = sizeof(Value);
  return ::getsockopt(AFd, SOL_SOCKET, AName, &Value, &Length) == 0 ? Value : -1;
}

// ---------------------------------------------------------------------------------------------
// Addresses

// A socket address record of either family, as the system takes and gives it.
struct TSockAddr {
  sockaddr_storage Storage{};
  socklen_t Length = sizeof(sockaddr_storage);
  sockaddr* Raw() noexcept { return reinterpret_cast<sockaddr*>(&Storage); }
};

// The system's family number of a family in the Windows Sockets numbering.
int NativeFamily(int32_t AFamily) noexcept {
  return AFamily == Id_PF_INET6 ? AF_INET6 : AFamily;
}

// The interface number of a scope: the number itself, or the interface of that name; 0 when
// there is none.
uint32_t ScopeIdOf(const std::string& AScope) {
  int32_t Number = 0;
  if (TryStrToInt(AScope, Number) && Number > 0) return static_cast<uint32_t>(Number);
  return ::if_nametoindex(AScope.c_str());
}

// The scope of a received address: its interface's name, else its number; empty for none.
std::string ScopeText(uint32_t AScopeId) {
  if (AScopeId == 0) return std::string();
  char Name[IF_NAMESIZE] = {};
  if (::if_indextoname(AScopeId, Name)) return Name;
  return std::to_string(AScopeId);
}

// The record for AFamily (Id_PF_INET6, else the IPv4 record with AFamily as it is), the address
// text (empty for any address) and the port. False for a scope that names no interface; an
// address text that is none raises EConvertError.
bool MakeAddress(TIdStack& AStack, int32_t AFamily, const std::string& AIP, int32_t APort,
                 TSockAddr& ARecord) {
  if (AFamily != Id_PF_INET6) {
    auto& In = reinterpret_cast<sockaddr_in&>(ARecord.Storage);
    In.sin_family = static_cast<sa_family_t>(AFamily);
    In.sin_port = htons(static_cast<uint16_t>(APort));
    In.sin_addr.s_addr = AIP.empty() ? htonl(INADDR_ANY) : AStack.TextToAddress(AIP);
    ARecord.Length = sizeof(sockaddr_in);
    return true;
  }
  auto& In6 = reinterpret_cast<sockaddr_in6&>(ARecord.Storage);
  In6.sin6_family = AF_INET6;
  In6.sin6_port = htons(static_cast<uint16_t>(APort));
  ARecord.Length = sizeof(sockaddr_in6);
  if (AIP.empty()) return true; // all zero: any address
  TIdIPv6Bytes Bytes;
  std::string Scope;
  TIdStack::ParseIPv6AddressText(AIP, Bytes, Scope);
  std::memcpy(&In6.sin6_addr, Bytes.data(), Bytes.size());
  if (Scope.empty()) return true;
  In6.sin6_scope_id = ScopeIdOf(Scope);
  return In6.sin6_scope_id != 0;
}

// The family of an address text: IPv6 for an IPv6 text, else IPv4.
int32_t FamilyOfText(const std::string& AIP) {
  return TIdStack::IsIPv6AddressText(AIP) ? Id_PF_INET6 : Id_PF_INET;
}

std::string AddressText(TIdStack& AStack, const in_addr& AAddress) {
  TIdIPv4Bytes Bytes;
  std::memcpy(Bytes.data(), &AAddress, Bytes.size());
  return AStack.AddressToText(Bytes);
}

// The family (Windows Sockets numbering), text and port of a record. An IPv4-mapped IPv6 address
// (an IPv4 peer of a dual-stack socket) reads as the IPv4 address it is.
void ReadAddress(TIdStackBSD& AStack, const sockaddr_storage& ARecord, int32_t& AFamily,
                 std::string& AIP, int32_t& APort) {
  if (ARecord.ss_family != AF_INET6) {
    const auto& In = reinterpret_cast<const sockaddr_in&>(ARecord);
    AFamily = In.sin_family;
    AIP = AddressText(AStack, In.sin_addr);
    APort = ntohs(In.sin_port);
    return;
  }
  const auto& In6 = reinterpret_cast<const sockaddr_in6&>(ARecord);
  TIdIPv6Bytes Bytes;
  std::memcpy(Bytes.data(), &In6.sin6_addr, Bytes.size());
  APort = ntohs(In6.sin6_port);
  AIP = AStack.ReceivedIPv6Text(Bytes, ScopeText(In6.sin6_scope_id), AFamily);
}

void ReadAddress(TIdStackBSD& AStack, const sockaddr_storage& ARecord, std::string& AIP,
                 int32_t& APort) {
  int32_t Family = 0;
  ReadAddress(AStack, ARecord, Family, AIP, APort);
}

struct TAddrInfoFree {
  void operator()(addrinfo* A) const { ::freeaddrinfo(A); }
};
using TAddrInfo = std::unique_ptr<addrinfo, TAddrInfoFree>;

// The stream addresses of a host of AFamily (AF_UNSPEC: both), in the order the name service
// gives them.
int Lookup(const std::string& AHost, int AFamily, TAddrInfo& AResult, int& AErrno) {
  addrinfo Hints{};
  Hints.ai_family = AFamily;
  Hints.ai_socktype = SOCK_STREAM;
  addrinfo* Found = nullptr;
  errno = 0;
  const int Result = ::getaddrinfo(AHost.c_str(), nullptr, &Hints, &Found);
  AErrno = errno;
  AResult.reset(Found);
  return Result;
}

int LookupFamily(TIdIPVersions AVersions) noexcept {
  switch (AVersions) {
  case TIdIPVersions::vsIPv4:
    return AF_INET;
  case TIdIPVersions::vsIPv6:
    return AF_INET6;
  default:
    return AF_UNSPEC;
  }
}

// ---------------------------------------------------------------------------------------------
// Socket options: Windows Sockets numbering to the native one

constexpr int32_t WinLevelSocket = Id_SOL_SOCKET;

struct TOptionMapping {
  int32_t WinName;
  int Native;
};

constexpr TOptionMapping SocketLevelOptions[] = {
    {0x0001, SO_DEBUG},
    {0x0002, SO_ACCEPTCONN},
    {Id_SO_REUSEADDR, SO_REUSEADDR},
    {Id_SO_KEEPALIVE, SO_KEEPALIVE},
    {0x0010, SO_DONTROUTE},
    {0x0020, SO_BROADCAST},
    {Id_SO_LINGER, SO_LINGER},
    {0x0100, SO_OOBINLINE},
    {Id_SO_SNDBUF, SO_SNDBUF},
    {Id_SO_RCVBUF, SO_RCVBUF},
    {Id_SO_SNDTIMEO, SO_SNDTIMEO},
    {Id_SO_ERROR, SO_ERROR},
    {0x1008, SO_TYPE},
    {Id_SO_REUSEPORT, SO_REUSEPORT},
};

// False for a socket-level option this platform has no equivalent of.
bool MapOption(int32_t ALevel, int32_t AName, int& ANativeLevel, int& ANativeName) {
  ANativeLevel = ALevel;
  ANativeName = AName;
  if (ALevel == Id_IPPROTO_TCP) {
    ANativeLevel = IPPROTO_TCP;
    if (AName == Id_TCP_NODELAY) ANativeName = TCP_NODELAY;
    return true;
  }
  if (ALevel == Id_IPPROTO_IPV6) {
    ANativeLevel = IPPROTO_IPV6;
    if (AName == Id_IPV6_V6ONLY) ANativeName = IPV6_V6ONLY;
    return true;
  }
  if (ALevel != WinLevelSocket) return true;
  ANativeLevel = SOL_SOCKET;
  for (const auto& M : SocketLevelOptions) {
    if (M.WinName != AName) continue;
    ANativeName = M.Native;
    return true;
  }
  return false;
}

// The Windows linger record: two 16-bit fields.
struct TWinLinger {
  uint16_t OnOff;
  uint16_t Linger;
};

bool IsWinLinger(int ANativeLevel, int ANativeName, int32_t ALength) {
  return ANativeLevel == SOL_SOCKET && ANativeName == SO_LINGER &&
         ALength == static_cast<int32_t>(sizeof(TWinLinger));
}

// A send time limit given as on Windows: a 32-bit count of ms.
bool IsWinMilliseconds(int ANativeLevel, int ANativeName, int32_t ALength) {
  return ANativeLevel == SOL_SOCKET && ANativeName == SO_SNDTIMEO &&
         ALength == static_cast<int32_t>(sizeof(int32_t));
}

// ---------------------------------------------------------------------------------------------
// Select over poll()

constexpr size_t SelectSetSize = 64;

struct TSelectEntry {
  TIdSocketDescriptorList* List;
  TIdSocketDescriptor Descriptor;
  short Ready; // the revents that count as ready for its list
};

void AddSelectList(TIdSocketDescriptorList* AList, short AEvents, short AReady,
                   std::vector<TSelectEntry>& AEntries, std::vector<pollfd>& AFds) {
  if (!AList) return;
  for (TIdSocketDescriptor D : *AList) {
    AEntries.push_back({AList, D, AReady});
    AFds.push_back({FdOf(D), AEvents, 0});
  }
}

void ClearLists(std::initializer_list<TIdSocketDescriptorList*> ALists) {
  for (auto* L : ALists)
    if (L) L->clear();
}

// poll() with interrupted waits resumed for the time that is left.
int PollRetrying(pollfd* AFds, size_t ACount, int32_t ATimeout) {
  using Clock = std::chrono::steady_clock;
  const auto Deadline = Clock::now() + std::chrono::milliseconds(std::max(ATimeout, 0));
  int Wait = ATimeout == TimeoutInfinite ? -1 : ATimeout;
  for (;;) {
    const int Result = ::poll(AFds, ACount, Wait);
    if (Result >= 0 || errno != EINTR) return Result;
    if (Wait > 0) {
      const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Deadline - Clock::now());
      Wait = static_cast<int>(std::max<int64_t>(Left.count(), 0));
    }
  }
}

// The select of a single descriptor (a readability wait, the most frequent by far): the same
// steps as the general one below, without building any list.
int32_t SelectOne(TIdSocketDescriptorList* AList, short AEvents, short AReady, int32_t ATimeout) {
  const TIdSocketDescriptor D = AList->front();
  AList->clear();
  if (ATimeout < 0 && ATimeout != TimeoutInfinite) return FailWith(WSA::EINVAL_);
  pollfd Fd{FdOf(D), AEvents, 0};
  const int Result = PollRetrying(&Fd, 1, ATimeout);
  if (Result < 0) return FailErrno(errno);
  if (Fd.revents & POLLNVAL) return FailWith(WSA::ENOTSOCK_);
  if (!(Fd.revents & AReady)) return 0;
  AList->push_back(D);
  return 1;
}

// ---------------------------------------------------------------------------------------------
// System calls with interrupted calls retried

template <class F> auto Retrying(F ACall) {
  for (;;) {
    const auto Result = ACall();
    if (Result >= 0 || errno != EINTR) return Result;
  }
}

// A connect interrupted by a signal goes on in the background; wait for its outcome.
int FinishInterruptedConnect(int AFd) {
  pollfd P{AFd, POLLOUT, 0};
  if (Retrying([&] { return ::poll(&P, 1, -1); }) < 0) return -1;
  int Error = 0;
  socklen_t Length = sizeof(Error);
  if (::getsockopt(AFd, SOL_SOCKET, SO_ERROR, &Error, &Length) != 0) return -1;
  if (Error == 0) return 0;
  errno = Error;
  return -1;
}

// Blocks SIGPIPE on this thread for a call that has no MSG_NOSIGNAL (sendfile), and swallows
// the signal that call raised.
class TSigPipeBlock {
public:
  TSigPipeBlock() {
    sigemptyset(&FSet);
    sigaddset(&FSet, SIGPIPE);
    sigset_t Pending;
    sigpending(&Pending);
    FWasPending = sigismember(&Pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &FSet, &FOld);
  }
  ~TSigPipeBlock() {
    if (FRaised && !FWasPending) {
      const timespec Zero{0, 0};
      while (sigtimedwait(&FSet, nullptr, &Zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
  }
  void NoteRaised() noexcept { FRaised = true; }

private:
  sigset_t FSet;
  sigset_t FOld;
  bool FWasPending = false;
  bool FRaised = false;
};

bool SendWholeFile(int ASocket, int AFile, off_t ASize) {
  TSigPipeBlock Block;
  off_t Offset = 0;
  while (Offset < ASize) {
    const size_t Chunk = static_cast<size_t>(std::min<off_t>(ASize - Offset, 0x7FFFF000));
    const ssize_t Sent = ::sendfile(ASocket, AFile, &Offset, Chunk);
    if (Sent < 0 && errno == EINTR) continue;
    if (Sent < 0) {
      if (errno == EPIPE) Block.NoteRaised();
      FailErrno(errno);
      return false;
    }
    if (Sent == 0) return false; // the file shrank under us
  }
  return true;
}

const bool FileTransmitterInstalled = [] {
  FileTransmitter() = &TransmitFileToSocket;
  return true;
}();

} // namespace

// ---------------------------------------------------------------------------------------------
// Platform registration

std::unique_ptr<TIdStack> NewPlatformStack() {
  return std::make_unique<TIdStackBSD>();
}

std::unique_ptr<TIdSocketList> NewPlatformSocketList() {
  return std::make_unique<TIdSocketListBSD>();
}

int64_t TransmitFileToSocket(TIdSocketDescriptor ASocket, const std::string& AFileName) {
  (void)FileTransmitterInstalled;
  const int File = ::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (File < 0) return FailErrno(errno), 0;
  struct stat Info {};
  bool Sent = ::fstat(File, &Info) == 0;
  if (Sent) {
    ::posix_fadvise(File, 0, 0, POSIX_FADV_SEQUENTIAL);
    Sent = SendWholeFile(FdOf(ASocket), File, Info.st_size);
  }
  ::close(File);
  return Sent ? static_cast<int64_t>(Info.st_size) : 0;
}

// ---------------------------------------------------------------------------------------------
// TIdStackBSD

TIdStackBSD::TIdStackBSD() = default;

int32_t TIdStackBSD::ErrorFromErrno(int AErrno) noexcept {
  for (const auto& M : ErrnoMappings)
    if (M.Errno == AErrno) return M.Number;
  return ErrnoErrorBase + AErrno;
}

int32_t TIdStackBSD::ErrorFromLookup(int ALookupResult, int AErrno) noexcept {
  switch (ALookupResult) {
  case EAI_NONAME:
  case EAI_NODATA:
  case EAI_ADDRFAMILY:
    return WSA::HOST_NOT_FOUND_;
  case EAI_AGAIN:
    return WSATryAgain;
  case EAI_MEMORY:
    return WSA::ENOBUFS_;
  case EAI_FAMILY:
    return 10047;
  case EAI_SOCKTYPE:
    return 10044;
  case EAI_BADFLAGS:
    return WSA::EINVAL_;
  case EAI_OVERFLOW:
    return WSA::EFAULT_;
  case EAI_SYSTEM:
    return AErrno != 0 ? ErrorFromErrno(AErrno) : WSANoRecovery;
  default:
    return WSANoRecovery;
  }
}

void TIdStackBSD::RaiseLookupError(int ALookupResult, int AErrno) {
  TlsLastError = ErrorFromLookup(ALookupResult, AErrno);
  CheckSocketResult(SocketErrorResult);
  throw EIdSocketError(TlsLastError, SockErrorText(TlsLastError)); // not reached
}

void TIdStackBSD::FillLocalAddresses() {
  if (!FLocalAddressList) FLocalAddressList = std::make_unique<TStringList>();
  FLocalAddressList->Clear();
  TAddrInfo Found;
  int Errno = 0;
  const int Result = Lookup(SockLocalHostName(), AF_INET, Found, Errno);
  if (Result != 0) RaiseLookupError(Result, Errno);
  for (const addrinfo* A = Found.get(); A; A = A->ai_next)
    FLocalAddressList->Add(
        AddressText(*this, reinterpret_cast<const sockaddr_in*>(A->ai_addr)->sin_addr));
}

std::string TIdStackBSD::FirstLocalAddress() {
  return GetLocalAddressList().Strings(0);
}

TStringList& TIdStackBSD::GetLocalAddressList() {
  if (!FLocalAddressList) FLocalAddressList = std::make_unique<TStringList>();
  FillLocalAddresses();
  return *FLocalAddressList;
}

TIdSocketDescriptor TIdStackBSD::SockAccept(TIdSocketDescriptor ASocket, std::string& AIP,
                                            int32_t& APort) {
  TSockAddr Address;
  const int Fd = Retrying(
      [&] { return ::accept4(FdOf(ASocket), Address.Raw(), &Address.Length, SOCK_CLOEXEC); });
  if (Fd < 0) return FailErrno(errno), InvalidSocketDescriptor;
  ReadAddress(*this, Address.Storage, AIP, APort);
  return FromFd(Fd);
}

int32_t TIdStackBSD::SockBind(TIdSocketDescriptor ASocket, int32_t AFamily, const std::string& AIP,
                              int32_t APort) {
  TSockAddr Address;
  if (!MakeAddress(*this, AFamily, AIP, APort, Address)) return FailWith(WSA::EINVAL_);
  return ResultOf(::bind(FdOf(ASocket), Address.Raw(), Address.Length));
}

// The system's own answers tell a listening TCP socket; its descriptor number is taken as is.
TIdSocketDescriptor TIdStackBSD::SockAdoptListening(int64_t ANative, int32_t& AFamily,
                                                    std::string& AIP, int32_t& APort) {
  if (ANative < 0 || ANative > INT_MAX) return InvalidSocketDescriptor;
  const int Fd = static_cast<int>(ANative);
  const int Domain = SocketLevelOption(Fd, SO_DOMAIN);
  if (SocketLevelOption(Fd, SO_ACCEPTCONN) != 1 || SocketLevelOption(Fd, SO_TYPE) != SOCK_STREAM ||
      SocketLevelOption(Fd, SO_PROTOCOL) != IPPROTO_TCP ||
      (Domain != AF_INET && Domain != AF_INET6))
    return InvalidSocketDescriptor;
  ::fcntl(Fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) | O_NONBLOCK);
  SockLocalAddress(FromFd(Fd), AFamily, AIP, APort);
  return FromFd(Fd);
}

TIdSocketDescriptor TIdStackBSD::SockDuplicate(TIdSocketDescriptor ASocket) {
  const int Fd = ::fcntl(FdOf(ASocket), F_DUPFD_CLOEXEC, 0);
  if (Fd < 0) CheckSocketResult(FailErrno(errno));
  return FromFd(Fd);
}

// Not retried when interrupted: Linux releases the number whatever close() reports.
int32_t TIdStackBSD::SockClose(TIdSocketDescriptor ASocket) {
  return ResultOf(::close(FdOf(ASocket)));
}

int32_t TIdStackBSD::SockConnect(TIdSocketDescriptor ASocket, int32_t AFamily,
                                 const std::string& AIP, int32_t APort) {
  TSockAddr Address;
  if (!MakeAddress(*this, AFamily, AIP, APort, Address)) return FailWith(WSA::EINVAL_);
  const int Fd = FdOf(ASocket);
  int Result = ::connect(Fd, Address.Raw(), Address.Length);
  if (Result != 0 && errno == EINTR) Result = FinishInterruptedConnect(Fd);
  return ResultOf(Result);
}

std::string TIdStackBSD::SockHostToAddress(const std::string& AHost) {
  TAddrInfo Found;
  int Errno = 0;
  const int Result = Lookup(AHost, AF_INET, Found, Errno);
  if (Result != 0) RaiseLookupError(Result, Errno);
  if (!Found) RaiseLookupError(EAI_NONAME, 0);
  return AddressText(*this, reinterpret_cast<const sockaddr_in*>(Found->ai_addr)->sin_addr);
}

TIdIPAddressList TIdStackBSD::SockHostToAddresses(const std::string& AHost,
                                                  TIdIPVersions AVersions) {
  TAddrInfo Found;
  int Errno = 0;
  const int Result = Lookup(AHost, LookupFamily(AVersions), Found, Errno);
  if (Result != 0) RaiseLookupError(Result, Errno);
  TIdIPAddressList Addresses;
  for (const addrinfo* A = Found.get(); A; A = A->ai_next) {
    if (A->ai_family != AF_INET && A->ai_family != AF_INET6) continue;
    sockaddr_storage Record{};
    std::memcpy(&Record, A->ai_addr, std::min<size_t>(A->ai_addrlen, sizeof(Record)));
    std::string Text;
    int32_t Family = 0, Port = 0;
    ReadAddress(*this, Record, Family, Text, Port);
    AddLookupResult(Addresses, Family, std::move(Text));
  }
  if (Addresses.empty()) RaiseLookupError(EAI_NONAME, 0);
  return Addresses;
}

std::string TIdStackBSD::SockLocalHostName() {
  char Name[251] = {};
  ::gethostname(Name, 250);
  return std::string(Name);
}

std::string TIdStackBSD::SockAddressToHost(const std::string& AIP) {
  TSockAddr Address;
  if (TIdStack::IsIPv6AddressText(AIP)) {
    if (!MakeAddress(*this, Id_PF_INET6, AIP, 0, Address)) RaiseLookupError(EAI_NONAME, 0);
  } else {
    auto& In = reinterpret_cast<sockaddr_in&>(Address.Storage);
    In.sin_family = AF_INET;
    Address.Length = sizeof(In);
    if (::inet_aton(AIP.c_str(), &In.sin_addr) == 0) RaiseLookupError(EAI_NONAME, 0);
  }
  char Host[NI_MAXHOST] = {};
  errno = 0;
  const int Result =
      ::getnameinfo(Address.Raw(), Address.Length, Host, sizeof(Host), nullptr, 0, NI_NAMEREQD);
  if (Result != 0) RaiseLookupError(Result, errno);
  return std::string(Host);
}

int32_t TIdStackBSD::SockServicePort(const std::string& AService) {
  servent Entry{};
  servent* Found = nullptr;
  std::vector<char> Buffer(1024);
  while (::getservbyname_r(AService.c_str(), nullptr, &Entry, Buffer.data(), Buffer.size(),
                           &Found) == ERANGE)
    Buffer.resize(Buffer.size() * 2);
  if (Found) return ntohs(static_cast<uint16_t>(Found->s_port));
  try {
    return StrToInt(AService);
  } catch (const EConvertError&) {
    throw MakeInvalidServiceName(AService);
  }
}

std::unique_ptr<TStringList> TIdStackBSD::SockPortServices(int32_t APort) {
  auto Services = std::make_unique<TStringList>();
  servent Entry{};
  servent* Found = nullptr;
  std::vector<char> Buffer(1024);
  while (::getservbyport_r(htons(static_cast<uint16_t>(APort)), nullptr, &Entry, Buffer.data(),
                           Buffer.size(), &Found) == ERANGE)
    Buffer.resize(Buffer.size() * 2);
  if (!Found) return Services;
  Services->Add(Found->s_name);
  for (char** Alias = Found->s_aliases; Alias && *Alias; ++Alias)
    Services->Add(*Alias);
  return Services;
}

uint16_t TIdStackBSD::SockHostToNet16(uint16_t AValue) {
  return htons(AValue);
}
uint16_t TIdStackBSD::SockNetToHost16(uint16_t AValue) {
  return ntohs(AValue);
}
uint32_t TIdStackBSD::SockHostToNet32(uint32_t AValue) {
  return htonl(AValue);
}
uint32_t TIdStackBSD::SockNetToHost32(uint32_t AValue) {
  return ntohl(AValue);
}

int32_t TIdStackBSD::SockListen(TIdSocketDescriptor ASocket, int32_t ABacklog) {
  return ResultOf(::listen(FdOf(ASocket), std::max<int32_t>(ABacklog, SOMAXCONN)));
}

int32_t TIdStackBSD::SockRecv(TIdSocketDescriptor ASocket, void* ABuffer, int32_t ALength,
                              int32_t AFlags) {
  const ssize_t Result = Retrying([&] {
    return ::recv(FdOf(ASocket), ABuffer, static_cast<size_t>(std::max(ALength, 0)), AFlags);
  });
  return Result < 0 ? FailErrno(errno) : static_cast<int32_t>(Result);
}

int32_t TIdStackBSD::SockRecvFrom(TIdSocketDescriptor ASocket, void* ABuffer, int32_t ALength,
                                  int32_t AFlags, std::string& AIP, int32_t& APort) {
  TSockAddr Address;
  const ssize_t Result = Retrying([&] {
    return ::recvfrom(FdOf(ASocket), ABuffer, static_cast<size_t>(std::max(ALength, 0)), AFlags,
                      Address.Raw(), &Address.Length);
  });
  if (Result < 0) return FailErrno(errno);
  ReadAddress(*this, Address.Storage, AIP, APort);
  return static_cast<int32_t>(Result);
}

int32_t TIdStackBSD::SockSelect(TIdSocketDescriptorList* ARead, TIdSocketDescriptorList* AWrite,
                                TIdSocketDescriptorList* AError, int32_t ATimeout) {
  for (auto* L : {ARead, AWrite, AError})
    if (L && L->size() > SelectSetSize) throw EIdStackSetSizeExceeded();
  const auto CountOf = [](TIdSocketDescriptorList* L) { return L ? L->size() : 0; };
  if (CountOf(ARead) + CountOf(AWrite) + CountOf(AError) == 1) {
    if (CountOf(ARead) == 1) return SelectOne(ARead, POLLIN, POLLIN | POLLHUP | POLLERR, ATimeout);
    if (CountOf(AWrite) == 1) return SelectOne(AWrite, POLLOUT, POLLOUT | POLLERR, ATimeout);
    return SelectOne(AError, POLLPRI, POLLPRI | POLLERR, ATimeout);
  }
  std::vector<TSelectEntry> Entries;
  std::vector<pollfd> Fds;
  AddSelectList(ARead, POLLIN, POLLIN | POLLHUP | POLLERR, Entries, Fds);
  AddSelectList(AWrite, POLLOUT, POLLOUT | POLLERR, Entries, Fds);
  AddSelectList(AError, POLLPRI, POLLPRI | POLLERR, Entries, Fds);
  if (Fds.empty() || (ATimeout < 0 && ATimeout != TimeoutInfinite)) {
    ClearLists({ARead, AWrite, AError});
    return FailWith(WSA::EINVAL_);
  }
  const int Result = PollRetrying(Fds.data(), Fds.size(), ATimeout);
  const int Errno = errno;
  ClearLists({ARead, AWrite, AError});
  if (Result < 0) return FailErrno(Errno);
  // A number that is no open descriptor fails the select as a non-socket would.
  const bool Invalid = std::any_of(Fds.begin(), Fds.end(),
                                   [](const pollfd& P) { return (P.revents & POLLNVAL) != 0; });
  if (Invalid) return FailWith(WSA::ENOTSOCK_);
  int32_t Ready = 0;
  for (size_t I = 0; I < Entries.size(); ++I) {
    if (!(Fds[I].revents & Entries[I].Ready)) continue;
    Entries[I].List->push_back(Entries[I].Descriptor);
    ++Ready;
  }
  return Ready;
}

int32_t TIdStackBSD::SockSend(TIdSocketDescriptor ASocket, const void* ABuffer, int32_t ALength,
                              int32_t AFlags) {
  const ssize_t Result = Retrying([&] {
    return ::send(FdOf(ASocket), ABuffer, static_cast<size_t>(std::max(ALength, 0)),
                  AFlags | MSG_NOSIGNAL);
  });
  return Result < 0 ? FailErrno(errno) : static_cast<int32_t>(Result);
}

int32_t TIdStackBSD::SockSendNow(TIdSocketDescriptor ASocket, const void* ABuffer,
                                 int32_t ALength) {
  return SockSend(ASocket, ABuffer, ALength, MSG_DONTWAIT);
}

int32_t TIdStackBSD::SockSendTo(TIdSocketDescriptor ASocket, const void* ABuffer, int32_t ALength,
                                int32_t AFlags, const std::string& AIP, int32_t APort) {
  TSockAddr Address;
  if (!MakeAddress(*this, FamilyOfText(AIP), AIP, APort, Address)) return FailWith(WSA::EINVAL_);
  const ssize_t Result = Retrying([&] {
    return ::sendto(FdOf(ASocket), ABuffer, static_cast<size_t>(std::max(ALength, 0)),
                    AFlags | MSG_NOSIGNAL, Address.Raw(), Address.Length);
  });
  return Result < 0 ? FailErrno(errno) : static_cast<int32_t>(Result);
}

int32_t TIdStackBSD::SockSetOption(TIdSocketDescriptor ASocket, int32_t ALevel, int32_t AOptName,
                                   const void* AOptVal, int32_t AOptLen) {
  int Level, Name;
  if (!MapOption(ALevel, AOptName, Level, Name)) return FailWith(10042);
  linger Native{};
  timeval Time{};
  const void* Value = AOptVal;
  socklen_t Length = static_cast<socklen_t>(std::max(AOptLen, 0));
  if (IsWinLinger(Level, Name, AOptLen)) {
    TWinLinger Win{};
    std::memcpy(&Win, AOptVal, sizeof(Win));
    Native = {Win.OnOff, Win.Linger};
    Value = &Native;
    Length = sizeof(Native);
  } else if (IsWinMilliseconds(Level, Name, AOptLen)) {
    int32_t Ms = 0;
    std::memcpy(&Ms, AOptVal, sizeof(Ms));
    Time = {Ms / 1000, (Ms % 1000) * 1000};
    Value = &Time;
    Length = sizeof(Time);
  }
  return ResultOf(::setsockopt(FdOf(ASocket), Level, Name, Value, Length));
}

int32_t TIdStackBSD::SockGetOption(TIdSocketDescriptor ASocket, int32_t ALevel, int32_t AOptName,
                                   void* AOptVal, int32_t& AOptLen) {
  int Level, Name;
  if (!MapOption(ALevel, AOptName, Level, Name)) return FailWith(10042);
  const int Fd = FdOf(ASocket);
  if (IsWinLinger(Level, Name, AOptLen)) {
    linger Native{};
    socklen_t Length = sizeof(Native);
    if (::getsockopt(Fd, Level, Name, &Native, &Length) != 0) return FailErrno(errno);
    const TWinLinger Win{static_cast<uint16_t>(Native.l_onoff),
                         static_cast<uint16_t>(Native.l_linger)};
    std::memcpy(AOptVal, &Win, sizeof(Win));
    return 0;
  }
  socklen_t Length = static_cast<socklen_t>(std::max(AOptLen, 0));
  if (::getsockopt(Fd, Level, Name, AOptVal, &Length) != 0) return FailErrno(errno);
  AOptLen = static_cast<int32_t>(Length);
  // A pending error is reported in the numbering every caller compares with.
  if (Level == SOL_SOCKET && Name == SO_ERROR && Length == sizeof(int)) {
    int Error;
    std::memcpy(&Error, AOptVal, sizeof(Error));
    if (Error != 0) Error = ErrorFromErrno(Error);
    std::memcpy(AOptVal, &Error, sizeof(Error));
  }
  return 0;
}

TIdSocketDescriptor TIdStackBSD::SockCreate(int32_t AFamily, int32_t AType, int32_t AProtocol) {
  const int Fd = ::socket(NativeFamily(AFamily), AType | SOCK_CLOEXEC, AProtocol);
  if (Fd < 0) return FailErrno(errno), InvalidSocketDescriptor;
  return FromFd(Fd);
}

int32_t TIdStackBSD::SockShutdown(TIdSocketDescriptor ASocket, int32_t AHow) {
  return ResultOf(::shutdown(FdOf(ASocket), AHow));
}

std::string TIdStackBSD::SockErrorText(int32_t AErrorNumber) {
  if (AErrorNumber == WSA::HOST_NOT_FOUND_)
    return Format(RS::RSStackError, {int64_t(AErrorNumber), std::string(RS::RSHostNotFound)});
  if (AErrorNumber > ErrnoErrorBase) {
    const char* Text = ::strerrordesc_np(AErrorNumber - ErrnoErrorBase);
    if (Text) return Format(RS::RSStackError, {int64_t(AErrorNumber), std::string(Text)});
  }
  return TIdStack::SockErrorText(AErrorNumber);
}

int32_t TIdStackBSD::SockLastError() {
  return TlsLastError;
}

void TIdStackBSD::SockAddress(TEnd AEnd, TIdSocketDescriptor ASocket, int32_t& AFamily,
                              std::string& AIP, int32_t& APort) {
  TSockAddr Address;
  CheckSocketResult(ResultOf((AEnd == TEnd::Peer ? ::getpeername : ::getsockname)(
      FdOf(ASocket), Address.Raw(), &Address.Length)));
  ReadAddress(*this, Address.Storage, AFamily, AIP, APort);
}

void TIdStackBSD::SockPeerAddress(TIdSocketDescriptor ASocket, int32_t& AFamily, std::string& AIP,
                                  int32_t& APort) {
  SockAddress(TEnd::Peer, ASocket, AFamily, AIP, APort);
}

void TIdStackBSD::SockLocalAddress(TIdSocketDescriptor ASocket, int32_t& AFamily, std::string& AIP,
                                   int32_t& APort) {
  SockAddress(TEnd::Local, ASocket, AFamily, AIP, APort);
}

} // namespace Id
