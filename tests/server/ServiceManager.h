// SPDX-License-Identifier: MIT
// The service manager's side of its notification protocol, for tests: a private NOTIFY_SOCKET
// that receives the datagrams a service sends, with the process that sent each. Linux only.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace IdTest {

/// A datagram socket of AF_UNIX bound to a path or, after "@", to an abstract name. With
/// ASetEnvironment, NOTIFY_SOCKET names it in this process (for services of this process and
/// the children it starts) until it is destroyed.
class TNotifyListener {
public:
  explicit TNotifyListener(const std::string& AName, bool ASetEnvironment = true)
      : FName(AName), FSetEnvironment(ASetEnvironment) {
    FFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int On = 1;
    ::setsockopt(FFd, SOL_SOCKET, SO_PASSCRED, &On, sizeof(On));
    sockaddr_un Address{};
    Address.sun_family = AF_UNIX;
    std::memcpy(Address.sun_path, AName.data(), AName.size());
    if (AName[0] == '@') Address.sun_path[0] = '\0';
    const auto Length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + AName.size());
    ::bind(FFd, reinterpret_cast<sockaddr*>(&Address), Length);
    if (FSetEnvironment) ::setenv("NOTIFY_SOCKET", AName.c_str(), 1);
  }
  ~TNotifyListener() {
    ::close(FFd);
    if (FSetEnvironment) ::unsetenv("NOTIFY_SOCKET");
  }
  TNotifyListener(const TNotifyListener&) = delete;
  TNotifyListener& operator=(const TNotifyListener&) = delete;

  const std::string& Name() const noexcept { return FName; }
  /// The next datagram, and in ASender the process that sent it; empty when none comes within
  /// ALimitMs.
  std::string Next(int ALimitMs = 10000, pid_t* ASender = nullptr) {
    pollfd P{FFd, POLLIN, 0};
    if (::poll(&P, 1, ALimitMs) != 1) return std::string();
    char Buffer[256];
    iovec Data{Buffer, sizeof(Buffer)};
    alignas(cmsghdr) char Control[CMSG_SPACE(sizeof(ucred))];
    msghdr Message{};
    Message.msg_iov = &Data;
    Message.msg_iovlen = 1;
    Message.msg_control = Control;
    Message.msg_controllen = sizeof(Control);
    const ssize_t N = ::recvmsg(FFd, &Message, 0);
    const cmsghdr* Header = CMSG_FIRSTHDR(&Message);
    if (ASender && Header && Header->cmsg_type == SCM_CREDENTIALS)
      *ASender = reinterpret_cast<const ucred*>(CMSG_DATA(Header))->pid;
    return std::string(Buffer, N > 0 ? static_cast<size_t>(N) : 0);
  }

private:
  std::string FName;
  bool FSetEnvironment;
  int FFd;
};

} // namespace IdTest
