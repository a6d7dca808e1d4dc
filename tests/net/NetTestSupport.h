// SPDX-License-Identifier: MIT
// Loopback sockets and thread facts for the socket-layer tests. On Linux also whether a thread
// sits in a given system call (BlockedCallsLinux.h); Windows has no such view of a thread.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "idframework/net/IdComponent.h"
#include "idframework/net/IdStack.h"
#include "support/WaitFor.h"

#ifndef _WIN32
#include "net/BlockedCallsLinux.h"
#endif

namespace IdTest {

/// Keeps the platform's GlobalStack alive for the life of the fixture.
class TPlatformStack {
public:
  Id::TIdStack& Stack() { return *Id::GlobalStack(); }

private:
  Id::TIdComponent FUser{nullptr};
};

/// A listening socket on 127.0.0.1 with a port chosen by the platform.
struct TListener {
  Id::TIdSocketDescriptor Socket = Id::InvalidSocketDescriptor;
  int32_t Port = 0;
};

inline TListener Listen(Id::TIdStack& S) {
  TListener L;
  L.Socket = S.NewSocket(Id::Id_SOCK_STREAM, Id::Id_IPPROTO_IP);
  S.CheckSocketResult(S.SockBind(L.Socket, Id::Id_PF_INET, "127.0.0.1", 0));
  S.CheckSocketResult(S.SockListen(L.Socket, 16));
  int32_t Family = 0;
  std::string IP;
  S.SockLocalAddress(L.Socket, Family, IP, L.Port);
  return L;
}

/// Both ends of one loopback connection, made on one thread: listen, connect, accept.
struct TPair {
  Id::TIdSocketDescriptor Client = Id::InvalidSocketDescriptor;
  Id::TIdSocketDescriptor Server = Id::InvalidSocketDescriptor;
};

inline TPair ConnectedPair(Id::TIdStack& S) {
  const TListener L = Listen(S);
  TPair P;
  P.Client = S.NewSocket(Id::Id_SOCK_STREAM, Id::Id_IPPROTO_IP);
  S.CheckSocketResult(S.SockConnect(P.Client, Id::Id_PF_INET, "127.0.0.1", L.Port));
  std::string IP;
  int32_t Port = 0;
  P.Server = S.SockAccept(L.Socket, IP, Port);
  S.CheckSocketResult(static_cast<int32_t>(P.Server));
  S.SockClose(L.Socket);
  return P;
}

inline void ClosePair(Id::TIdStack& S, const TPair& P) {
  S.SockClose(P.Client);
  S.SockClose(P.Server);
}

/// Milliseconds since AStart.
inline int64_t ElapsedMs(std::chrono::steady_clock::time_point AStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               AStart)
      .count();
}

} // namespace IdTest
