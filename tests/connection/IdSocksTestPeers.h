// Loopback peers for the SOCKS tests: a scripted proxy that checks the exact request bytes and
// answers what a case needs, and a line echo server to stand behind a real proxy. Both are real
// sockets on 127.0.0.1 with a port chosen by the system, served by a real thread.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/WaitFor.h"

namespace IdTest {

/// A byte string from small integers, for wire layouts.
inline std::string Bytes(std::initializer_list<int> AValues) {
  std::string Result;
  for (int V : AValues)
    Result += static_cast<char>(V);
  return Result;
}

/// Bytes as space-separated hex pairs, so that a failed comparison shows the difference.
inline std::string Hex(const std::string& ABytes) {
  std::string Result;
  char Pair[4];
  for (unsigned char C : ABytes) {
    std::snprintf(Pair, sizeof(Pair), Result.empty() ? "%02x" : " %02x", C);
    Result += Pair;
  }
  return Result;
}

/// Owns one POSIX descriptor.
class TFd {
public:
  explicit TFd(int AFd = -1) : FFd(AFd) {}
  ~TFd() { Reset(); }
  TFd(TFd&& AOther) noexcept : FFd(std::exchange(AOther.FFd, -1)) {}
  TFd& operator=(TFd&& AOther) noexcept {
    if (this != &AOther) Reset(std::exchange(AOther.FFd, -1));
    return *this;
  }
  int Get() const noexcept { return FFd; }
  void Reset(int AFd = -1) noexcept {
    if (FFd >= 0) ::close(FFd);
    FFd = AFd;
  }

private:
  int FFd;
};

/// A listening socket on 127.0.0.1 with a system-chosen port.
inline TFd ListenOnLoopback(int32_t& APort) {
  TFd Listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof(Address);
  if (Listener.Get() < 0 || ::bind(Listener.Get(), (sockaddr*)&Address, sizeof(Address)) != 0 ||
      ::listen(Listener.Get(), 16) != 0 ||
      ::getsockname(Listener.Get(), (sockaddr*)&Address, &Length) != 0)
    std::abort();
  APort = ntohs(Address.sin_port);
  return Listener;
}

/// Waits up to ALimit for ADescriptor to be readable (or closed, or failed).
inline bool PollReadable(int ADescriptor, std::chrono::milliseconds ALimit) {
  pollfd Entry{ADescriptor, POLLIN, 0};
  return ::poll(&Entry, 1, static_cast<int>(ALimit.count())) > 0;
}

/// Reads up to ALength bytes, each piece within ALimit; stops early at a close or failure.
inline std::string ReadUpTo(int ADescriptor, std::size_t ALength,
                            std::chrono::milliseconds ALimit = std::chrono::seconds(10)) {
  std::string Result;
  char Chunk[4096];
  while (Result.size() < ALength && PollReadable(ADescriptor, ALimit)) {
    const ssize_t N =
        ::recv(ADescriptor, Chunk, std::min(sizeof(Chunk), ALength - Result.size()), 0);
    if (N <= 0) break;
    Result.append(Chunk, static_cast<std::size_t>(N));
  }
  return Result;
}

/// One receive of whatever is there (waiting up to ALimit); empty at a close, failure or timeout.
inline std::string ReadSome(int ADescriptor,
                            std::chrono::milliseconds ALimit = std::chrono::seconds(10)) {
  char Chunk[4096];
  if (!PollReadable(ADescriptor, ALimit)) return {};
  const ssize_t N = ::recv(ADescriptor, Chunk, sizeof(Chunk), 0);
  return N > 0 ? std::string(Chunk, static_cast<std::size_t>(N)) : std::string();
}

inline bool WriteAllTo(int ADescriptor, const std::string& ABytes) {
  std::size_t Sent = 0;
  while (Sent < ABytes.size()) {
    const ssize_t N = ::send(ADescriptor, ABytes.data() + Sent, ABytes.size() - Sent, MSG_NOSIGNAL);
    if (N <= 0) return false;
    Sent += static_cast<std::size_t>(N);
  }
  return true;
}

/// A one-client SOCKS proxy that follows a script. Build the script, Start(), let the client
/// talk to Port(), then read Received(). An expectation that is not met (other bytes, or too
/// few before 10 s) ends the script at once with an orderly close, so the client never gets an
/// answer to a request it should not have sent.
class TScriptedProxy {
public:
  TScriptedProxy() { FListener = ListenOnLoopback(FPort); }
  ~TScriptedProxy() { Finish(); }

  int32_t Port() const noexcept { return FPort; }

  /// Reads exactly ABytes.size() bytes and requires them to equal ABytes.
  TScriptedProxy& Expect(std::string ABytes) { return Add(TKind::Expect, std::move(ABytes)); }
  /// Sends ABytes in one send call.
  TScriptedProxy& Reply(std::string ABytes) { return Add(TKind::Reply, std::move(ABytes)); }
  /// Sends ABytes one byte at a time, each only after the client has taken the one before from
  /// its socket, so that every receive of the client sees a single byte.
  TScriptedProxy& ReplyByteByByte(std::string ABytes) {
    return Add(TKind::ReplyByteByByte, std::move(ABytes));
  }
  /// Closes the connection in order (FIN) here; the script ends.
  TScriptedProxy& Close() { return Add(TKind::Close, {}); }
  /// Resets the connection (RST) here; the script ends.
  TScriptedProxy& Reset() { return Add(TKind::Reset, {}); }
  /// From here on, sends back whatever arrives, until the client closes.
  TScriptedProxy& Echo() { return Add(TKind::Echo, {}); }

  /// Accepts one client on a thread of its own and runs the script. After the last step it
  /// records what else arrives until the client closes.
  void Start() {
    FThread = std::thread([this] { Run(); });
  }
  /// Waits (10 s at most) for the client to close and the script to end; all bytes received.
  const std::string& Received() {
    Finish();
    return FReceived;
  }
  /// True when an expectation failed; valid after Received().
  bool Mismatch() {
    Finish();
    return FMismatch;
  }

private:
  enum class TKind { Expect, Reply, ReplyByteByByte, Close, Reset, Echo };
  struct TStep {
    TKind Kind;
    std::string Bytes;
  };

  TScriptedProxy& Add(TKind AKind, std::string ABytes) {
    FSteps.push_back({AKind, std::move(ABytes)});
    return *this;
  }

  void Finish() {
    if (FThread.joinable()) FThread.join();
  }

  void Run() {
    if (!PollReadable(FListener.Get(), std::chrono::seconds(10))) return;
    TFd Peer(::accept4(FListener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (Peer.Get() < 0) return;
    for (const TStep& Step : FSteps)
      if (!RunStep(Peer, Step)) return;
    FReceived += ReadUpTo(Peer.Get(), SIZE_MAX);
  }

  // False when the script ends here.
  bool RunStep(TFd& APeer, const TStep& AStep) {
    switch (AStep.Kind) {
    case TKind::Expect: {
      const std::string Got = ReadUpTo(APeer.Get(), AStep.Bytes.size());
      FReceived += Got;
      FMismatch = Got != AStep.Bytes;
      return !FMismatch;
    }
    case TKind::Reply:
      return WriteAllTo(APeer.Get(), AStep.Bytes);
    case TKind::ReplyByteByByte:
      return SendByteByByte(APeer.Get(), AStep.Bytes);
    case TKind::Close:
      APeer.Reset();
      return false;
    case TKind::Reset: {
      const linger Abort{1, 0};
      ::setsockopt(APeer.Get(), SOL_SOCKET, SO_LINGER, &Abort, sizeof(Abort));
      APeer.Reset();
      return false;
    }
    case TKind::Echo:
      EchoUntilClosed(APeer.Get());
      return false;
    }
    return false;
  }

  void EchoUntilClosed(int APeer) {
    for (;;) {
      const std::string Chunk = ReadSome(APeer);
      if (Chunk.empty() || !WriteAllTo(APeer, Chunk)) return;
      FReceived += Chunk;
    }
  }

  bool SendByteByByte(int APeer, const std::string& ABytes) {
    const int Client = FindClientEnd(APeer);
    if (Client < 0) return false;
    for (char C : ABytes) {
      if (!WriteAllTo(APeer, std::string(1, C))) return false;
      // Unacknowledged bytes gone means they are in the client's queue or already taken; an
      // empty queue then means the client's receive has taken them.
      const bool Taken =
          WaitFor([&] { return Queued(APeer, SIOCOUTQ) == 0 && Queued(Client, FIONREAD) == 0; },
                  std::chrono::seconds(10));
      if (!Taken) return false;
    }
    return true;
  }

  static int Queued(int ADescriptor, unsigned long ARequest) {
    int Count = -1;
    return ::ioctl(ADescriptor, ARequest, &Count) == 0 ? Count : -1;
  }

  // The client's socket lives in this process: the descriptor whose two ends are this peer's,
  // swapped.
  static int FindClientEnd(int APeer) {
    sockaddr_in Local{}, Remote{};
    socklen_t Length = sizeof(Local);
    ::getsockname(APeer, (sockaddr*)&Local, &Length);
    Length = sizeof(Remote);
    ::getpeername(APeer, (sockaddr*)&Remote, &Length);
    DIR* Fds = ::opendir("/proc/self/fd");
    int Found = -1;
    while (dirent* Entry = Fds ? ::readdir(Fds) : nullptr) {
      const int Fd = std::atoi(Entry->d_name);
      sockaddr_in ItsLocal{}, ItsRemote{};
      socklen_t L1 = sizeof(ItsLocal), L2 = sizeof(ItsRemote);
      if (Fd == APeer || Entry->d_name[0] < '0' || Entry->d_name[0] > '9') continue;
      if (::getsockname(Fd, (sockaddr*)&ItsLocal, &L1) != 0 || L1 != sizeof(ItsLocal) ||
          ::getpeername(Fd, (sockaddr*)&ItsRemote, &L2) != 0)
        continue;
      if (SameEnd(ItsLocal, Remote) && SameEnd(ItsRemote, Local)) Found = Fd;
    }
    if (Fds) ::closedir(Fds);
    return Found;
  }

  static bool SameEnd(const sockaddr_in& A, const sockaddr_in& B) {
    return A.sin_family == B.sin_family && A.sin_port == B.sin_port &&
           A.sin_addr.s_addr == B.sin_addr.s_addr;
  }

  TFd FListener;
  int32_t FPort = 0;
  std::vector<TStep> FSteps;
  std::thread FThread;
  std::string FReceived; // written by the proxy thread until it ends
  bool FMismatch = false;
};

/// A line echo server on 127.0.0.1: greets each client with "hello" CR LF, then answers every
/// line L with "echo: L" CR LF until the client closes. One thread per client.
class TEchoTarget {
public:
  TEchoTarget() {
    FListener = ListenOnLoopback(FPort);
    FAcceptor = std::thread([this] { AcceptLoop(); });
  }
  ~TEchoTarget() {
    FStopping = true;
    // Shutting the listener down wakes a thread blocked on it on Linux.
    ::shutdown(FListener.Get(), SHUT_RDWR);
    FAcceptor.join();
    std::lock_guard<std::mutex> Guard(FLock);
    for (TClient& Client : FClients) {
      ::shutdown(Client.Fd.Get(), SHUT_RDWR);
      Client.Thread.join();
    }
  }

  int32_t Port() const noexcept { return FPort; }
  /// Clients accepted so far; any thread.
  int Accepted() const noexcept { return FAccepted; }

private:
  struct TClient {
    TFd Fd;
    std::thread Thread;
  };

  void AcceptLoop() {
    while (!FStopping) {
      if (!PollReadable(FListener.Get(), std::chrono::milliseconds(100))) continue;
      const int Fd = ::accept4(FListener.Get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (Fd < 0) continue;
      ++FAccepted;
      std::lock_guard<std::mutex> Guard(FLock);
      FClients.push_back({TFd(Fd), {}});
      FClients.back().Thread = std::thread([Fd] { Serve(Fd); });
    }
  }

  static void Serve(int AFd) {
    if (!WriteAllTo(AFd, "hello\r\n")) return;
    std::string Pending;
    for (;;) {
      const std::string Chunk = ReadSome(AFd, std::chrono::seconds(30));
      if (Chunk.empty()) return;
      Pending += Chunk;
      std::size_t End;
      while ((End = Pending.find('\n')) != std::string::npos) {
        std::string Line = Pending.substr(0, End);
        if (!Line.empty() && Line.back() == '\r') Line.pop_back();
        Pending.erase(0, End + 1);
        if (!WriteAllTo(AFd, "echo: " + Line + "\r\n")) return;
      }
    }
  }

  TFd FListener;
  int32_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FAccepted{0};
  std::mutex FLock;
  std::list<TClient> FClients;
  std::thread FAcceptor;
};

} // namespace IdTest
