// SPDX-License-Identifier: MIT
// The tests' plain loopback sockets over BSD sockets. Included by RawSocket.h only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace IdTest::Raw {

namespace Detail {
inline sockaddr_in Loopback(int32_t APort) {
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  A.sin_port = htons(static_cast<uint16_t>(APort));
  return A;
}
} // namespace Detail

inline TFd Socket() {
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

inline bool Connect(TFd AFd, int32_t APort) {
  const sockaddr_in A = Detail::Loopback(APort);
  return ::connect(AFd, reinterpret_cast<const sockaddr*>(&A), sizeof(A)) == 0;
}

inline bool Listen(TFd AFd, int32_t APort, int ABacklog) {
  const sockaddr_in A = Detail::Loopback(APort);
  return ::bind(AFd, reinterpret_cast<const sockaddr*>(&A), sizeof(A)) == 0 &&
         ::listen(AFd, ABacklog) == 0;
}

inline int32_t LocalPort(TFd AFd) {
  sockaddr_in A{};
  socklen_t L = sizeof(A);
  if (::getsockname(AFd, reinterpret_cast<sockaddr*>(&A), &L) != 0) return 0;
  return ntohs(A.sin_port);
}

inline TFd Accept(TFd AFd) {
  return ::accept4(AFd, nullptr, nullptr, SOCK_CLOEXEC);
}

inline long Send(TFd AFd, const char* AData, size_t ALength) {
  for (;;) {
    const ssize_t N = ::send(AFd, AData, ALength, MSG_NOSIGNAL);
    if (N >= 0 || errno != EINTR) return static_cast<long>(N);
  }
}

inline long Receive(TFd AFd, char* ABuffer, size_t ALength) {
  for (;;) {
    const ssize_t N = ::recv(AFd, ABuffer, ALength, 0);
    if (N >= 0 || errno != EINTR) return static_cast<long>(N);
  }
}

inline int WaitReadable(TFd AFd, int AMs) {
  pollfd P{AFd, POLLIN, 0};
  const int N = ::poll(&P, 1, AMs);
  return N < 0 ? -1 : N;
}

inline void ShutdownWrite(TFd AFd) {
  ::shutdown(AFd, SHUT_WR);
}

inline void CloseWithReset(TFd AFd) {
  linger L{1, 0};
  ::setsockopt(AFd, SOL_SOCKET, SO_LINGER, &L, sizeof(L));
  ::close(AFd);
}

inline void Close(TFd AFd) {
  ::close(AFd);
}

} // namespace IdTest::Raw
