// SPDX-License-Identifier: MIT
// The service manager's two protocols as Linux has them: descriptors passed from 3 on with
// LISTEN_* variables, and datagrams to the AF_UNIX socket of NOTIFY_SOCKET.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "idframework/core/IdException.h"
#include "idframework/net/detail/IdStackBSD.h"
#include "idframework/server/IdSystemd.h"

namespace Id {

namespace {

constexpr int ListenFdsStart = 3;

std::optional<std::string> Variable(const char* AName) {
  const char* Value = std::getenv(AName);
  if (!Value) return std::nullopt;
  return std::string(Value);
}

// Decimal digits only, up to ALimit.
int64_t ParseNumber(const std::string& AText, const char* AName, int64_t ALimit) {
  int64_t Value = 0;
  for (const char C : AText) {
    if (C < '0' || C > '9' || Value > (ALimit - (C - '0')) / 10)
      throw EIdSystemdError(Format(RS::RSSystemdBadVariable, {std::string(AName)}));
    Value = Value * 10 + (C - '0');
  }
  if (AText.empty()) throw EIdSystemdError(Format(RS::RSSystemdBadVariable, {std::string(AName)}));
  return Value;
}

// The names of LISTEN_FDNAMES, one per descriptor.
std::vector<std::string> DescriptorNames(const std::optional<std::string>& ANames, int64_t ACount) {
  if (!ANames) return std::vector<std::string>(static_cast<size_t>(ACount), "unknown");
  std::vector<std::string> Names;
  for (size_t Start = 0;;) {
    const size_t Colon = ANames->find(':', Start);
    Names.push_back(ANames->substr(Start, Colon - Start));
    if (Colon == std::string::npos) break;
    Start = Colon + 1;
  }
  if (static_cast<int64_t>(Names.size()) != ACount)
    throw EIdSystemdError(Format(RS::RSSystemdBadVariable, {std::string("LISTEN_FDNAMES")}));
  return Names;
}

// The stack's descriptor for ADescriptor, a listening TCP socket; raises for anything else.
TIdActivatedSocket TakeDescriptor(int ADescriptor, std::string AName) {
  TIdStackUse Use;
  int32_t Family = 0;
  std::string IP;
  int32_t Port = 0;
  const TIdSocketDescriptor Descriptor =
      GlobalStack()->SockAdoptListening(ADescriptor, Family, IP, Port);
  if (Descriptor == InvalidSocketDescriptor)
    throw EIdSystemdError(Format(RS::RSSystemdNotListening, {int64_t(ADescriptor)}));
  return TIdActivatedSocket(Descriptor, std::move(AName), Family == Id_PF_INET6, std::move(IP),
                            Port);
}

[[noreturn]] void RaiseErrno(int AErrno) {
  TIdStackUse Use;
  GlobalStack()->ThrowSocketError(TIdStackBSD::ErrorFromErrno(AErrno));
}

// The AF_UNIX address of NOTIFY_SOCKET's value: a path, or "@" for the abstract namespace.
socklen_t NotifyAddress(const std::string& AValue, sockaddr_un& AAddress) {
  const bool Abstract = !AValue.empty() && AValue[0] == '@';
  if ((!Abstract && (AValue.empty() || AValue[0] != '/')) ||
      AValue.size() >= sizeof(AAddress.sun_path))
    throw EIdSystemdError(Format(RS::RSSystemdBadNotifySocket, {AValue}));
  AAddress.sun_family = AF_UNIX;
  std::memcpy(AAddress.sun_path, AValue.data(), AValue.size());
  if (Abstract) AAddress.sun_path[0] = '\0';
  // A path is counted with its NUL, an abstract name exactly.
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + AValue.size() + !Abstract);
}

} // namespace

TIdActivatedSockets TakeActivatedSockets(bool AUnsetEnvironment) {
  const std::optional<std::string> Pid = Variable("LISTEN_PID");
  const std::optional<std::string> Count = Variable("LISTEN_FDS");
  const std::optional<std::string> Names = Variable("LISTEN_FDNAMES");
  if (AUnsetEnvironment) {
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
  }
  if (!Pid || !Count) return {};
  if (ParseNumber(*Pid, "LISTEN_PID", INT_MAX) != ::getpid()) return {};
  const int64_t N = ParseNumber(*Count, "LISTEN_FDS", INT_MAX - ListenFdsStart);
  std::vector<std::string> FdNames = DescriptorNames(Names, N);
  TIdActivatedSockets Sockets;
  for (int64_t I = 0; I < N; ++I)
    Sockets.push_back(TakeDescriptor(ListenFdsStart + static_cast<int>(I),
                                     std::move(FdNames[static_cast<size_t>(I)])));
  return Sockets;
}

bool NotifyServiceManager(const std::string& AState) {
  const std::optional<std::string> Value = Variable("NOTIFY_SOCKET");
  if (!Value) return false;
  sockaddr_un Address{};
  const socklen_t Length = NotifyAddress(*Value, Address);
  const int Socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (Socket < 0) RaiseErrno(errno);
  ssize_t Sent;
  do {
    Sent = ::sendto(Socket, AState.data(), AState.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&Address), Length);
  } while (Sent < 0 && errno == EINTR);
  const int Error = errno;
  ::close(Socket);
  if (Sent < 0) RaiseErrno(Error);
  return true;
}

int64_t WatchdogInterval() {
  const std::optional<std::string> Usec = Variable("WATCHDOG_USEC");
  const std::optional<std::string> Pid = Variable("WATCHDOG_PID");
  if (!Usec) return 0;
  const int64_t Interval = ParseNumber(*Usec, "WATCHDOG_USEC", INT64_MAX);
  if (Pid && ParseNumber(*Pid, "WATCHDOG_PID", INT_MAX) != ::getpid()) return 0;
  return Interval;
}

} // namespace Id
