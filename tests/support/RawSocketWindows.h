// SPDX-License-Identifier: MIT
// The tests' plain loopback sockets over Windows Sockets. Included by RawSocket.h only. The
// calls go through the framework's run-time binding of the library (the programs import no
// socket library), but not through the stack under test; the first socket loads and starts the
// library when no stack has yet.
#pragma once

#include "idframework/net/detail/IdWinsock2.h"

namespace IdTest::Raw {

namespace Detail {
inline sockaddr_in Loopback(int32_t APort) {
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = Id::WS2::htonl(INADDR_LOOPBACK);
  A.sin_port = Id::WS2::htons(static_cast<u_short>(APort));
  return A;
}
inline SOCKET Handle(TFd AFd) {
  return AFd == NoSocket ? INVALID_SOCKET : static_cast<SOCKET>(AFd);
}
inline TFd FdOf(SOCKET ASocket) {
  return ASocket == INVALID_SOCKET ? NoSocket : static_cast<TFd>(ASocket);
}
} // namespace Detail

inline TFd Socket() {
  if (!Id::SocketLibraryHandle()) {
    WSADATA Data{};
    Id::StartSocketLibrary(0x0202, &Data);
  }
  return Detail::FdOf(Id::WS2::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

inline bool Connect(TFd AFd, int32_t APort) {
  const sockaddr_in A = Detail::Loopback(APort);
  return Id::WS2::connect(Detail::Handle(AFd), reinterpret_cast<const sockaddr*>(&A), sizeof(A)) ==
         0;
}

inline bool Listen(TFd AFd, int32_t APort, int ABacklog) {
  const sockaddr_in A = Detail::Loopback(APort);
  return Id::WS2::bind(Detail::Handle(AFd), reinterpret_cast<const sockaddr*>(&A), sizeof(A)) ==
             0 &&
         Id::WS2::listen(Detail::Handle(AFd), ABacklog) == 0;
}

inline int32_t LocalPort(TFd AFd) {
  sockaddr_in A{};
  int L = sizeof(A);
  if (Id::WS2::getsockname(Detail::Handle(AFd), reinterpret_cast<sockaddr*>(&A), &L) != 0) return 0;
  return Id::WS2::ntohs(A.sin_port);
}

inline TFd Accept(TFd AFd) {
  return Detail::FdOf(Id::WS2::accept(Detail::Handle(AFd), nullptr, nullptr));
}

inline long Send(TFd AFd, const char* AData, size_t ALength) {
  const int Chunk = ALength > 1 << 30 ? 1 << 30 : static_cast<int>(ALength);
  return Id::WS2::send(Detail::Handle(AFd), AData, Chunk, 0);
}

inline long Receive(TFd AFd, char* ABuffer, size_t ALength) {
  const int Chunk = ALength > 1 << 30 ? 1 << 30 : static_cast<int>(ALength);
  return Id::WS2::recv(Detail::Handle(AFd), ABuffer, Chunk, 0);
}

inline int WaitReadable(TFd AFd, int AMs) {
  fd_set Read;
  Read.fd_count = 1;
  Read.fd_array[0] = Detail::Handle(AFd);
  timeval Limit{AMs / 1000, (AMs % 1000) * 1000};
  const int N = Id::WS2::select(0, &Read, nullptr, nullptr, AMs < 0 ? nullptr : &Limit);
  return N < 0 ? -1 : N;
}

inline void ShutdownWrite(TFd AFd) {
  Id::WS2::shutdown(Detail::Handle(AFd), SD_SEND);
}

inline void CloseWithReset(TFd AFd) {
  linger L{1, 0};
  Id::WS2::setsockopt(Detail::Handle(AFd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&L),
                      sizeof(L));
  Id::WS2::closesocket(Detail::Handle(AFd));
}

inline void Close(TFd AFd) {
  Id::WS2::closesocket(Detail::Handle(AFd));
}

} // namespace IdTest::Raw
