// Helpers for the server tests: a plain BSD client socket on 127.0.0.1, starting a server on an
// ephemeral loopback port, thread-safe event logs and the process's descriptor and thread counts.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "net/IdSocketHandle.h"
#include "server/IdPeerThread.h"
#include "server/IdTCPServer.h"
#include "support/WaitFor.h"

namespace IdTest {

/// How long a test waits for a fact before it fails.
inline constexpr std::chrono::milliseconds FactLimit{10000};

/// A blocking IPv4 client socket with its own small receive buffer.
class TTestClient {
public:
  TTestClient() = default;
  explicit TTestClient(int32_t APort) { Connect(APort); }
  ~TTestClient() { Close(); }
  TTestClient(const TTestClient&) = delete;
  TTestClient& operator=(const TTestClient&) = delete;

  /// Connects to 127.0.0.1:APort; false when refused.
  bool Connect(int32_t APort) {
    Close();
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (FFd < 0) return false;
    sockaddr_in Address = LoopbackAddress(APort);
    if (::connect(FFd, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) == 0) return true;
    Close();
    return false;
  }
  /// Creates the socket without connecting (for tests that need the descriptor first).
  bool CreateSocket() {
    Close();
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    return FFd >= 0;
  }
  bool ConnectCreated(int32_t APort) {
    sockaddr_in Address = LoopbackAddress(APort);
    return ::connect(FFd, reinterpret_cast<sockaddr*>(&Address), sizeof(Address)) == 0;
  }
  bool IsOpen() const { return FFd >= 0; }

  bool Send(const std::string& AData) {
    size_t Sent = 0;
    while (Sent < AData.size()) {
      const ssize_t N = ::send(FFd, AData.data() + Sent, AData.size() - Sent, MSG_NOSIGNAL);
      if (N <= 0) return false;
      Sent += static_cast<size_t>(N);
    }
    return true;
  }
  bool SendLine(const std::string& ALine) { return Send(ALine + "\r\n"); }

  /// The next line without CR LF; empty with AOk false when the peer closed or nothing came.
  std::string ReadLine(bool* AOk = nullptr, std::chrono::milliseconds ALimit = FactLimit) {
    const auto Deadline = std::chrono::steady_clock::now() + ALimit;
    for (;;) {
      const size_t Lf = FBuffer.find('\n');
      if (Lf != std::string::npos) {
        std::string Line = FBuffer.substr(0, Lf);
        FBuffer.erase(0, Lf + 1);
        if (!Line.empty() && Line.back() == '\r') Line.pop_back();
        if (AOk) *AOk = true;
        return Line;
      }
      if (!ReceiveSome(Deadline)) {
        if (AOk) *AOk = false;
        return std::string();
      }
    }
  }
  /// Everything until the peer closes (or ALimit passes; then AClosed is false).
  std::string ReadUntilClosed(bool* AClosed = nullptr,
                              std::chrono::milliseconds ALimit = FactLimit) {
    const auto Deadline = std::chrono::steady_clock::now() + ALimit;
    while (ReceiveSome(Deadline)) {
    }
    if (AClosed) *AClosed = FPeerClosed;
    std::string All;
    All.swap(FBuffer);
    return All;
  }
  /// True once the peer has closed (or reset) the connection.
  bool WaitClosed(std::chrono::milliseconds ALimit = FactLimit) {
    bool Closed = false;
    ReadUntilClosed(&Closed, ALimit);
    return Closed;
  }
  /// Closes with a reset instead of an orderly close.
  void Reset() {
    if (FFd < 0) return;
    linger Linger{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &Linger, sizeof(Linger));
    Close();
  }
  void Close() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
    FBuffer.clear();
    FPeerClosed = false;
  }

private:
  static sockaddr_in LoopbackAddress(int32_t APort) {
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(static_cast<uint16_t>(APort));
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return Address;
  }
  // False when the peer closed, the socket failed or the deadline passed.
  bool ReceiveSome(std::chrono::steady_clock::time_point ADeadline) {
    if (FFd < 0 || FPeerClosed) return false;
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
        ADeadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0) return false;
    pollfd P{FFd, POLLIN, 0};
    if (::poll(&P, 1, static_cast<int>(Left.count())) <= 0) return false;
    char Block[4096];
    const ssize_t N = ::recv(FFd, Block, sizeof(Block), 0);
    if (N <= 0) {
      FPeerClosed = true;
      return false;
    }
    FBuffer.append(Block, static_cast<size_t>(N));
    return true;
  }

  int FFd = -1;
  std::string FBuffer;
  bool FPeerClosed = false;
};

/// A listening plain socket on 127.0.0.1 with a platform-chosen port, to occupy that port.
class TPortBlocker {
public:
  TPortBlocker() {
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FFd, reinterpret_cast<sockaddr*>(&Address), sizeof(Address));
    ::listen(FFd, 1);
    socklen_t Length = sizeof(Address);
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&Address), &Length);
    FPort = ntohs(Address.sin_port);
  }
  ~TPortBlocker() { ::close(FFd); }
  TPortBlocker(const TPortBlocker&) = delete;
  TPortBlocker& operator=(const TPortBlocker&) = delete;
  int32_t Port() const { return FPort; }

private:
  int FFd = -1;
  int32_t FPort = 0;
};

/// Adds a binding on 127.0.0.1 with port 0, activates, and returns the port actually bound.
inline int32_t StartOnLoopback(Id::TIdTCPServer& AServer) {
  Id::TIdSocketHandle* Binding = AServer.Bindings().AddBinding();
  Binding->SetIP("127.0.0.1");
  Binding->SetPort(0);
  AServer.SetActive(true);
  return Binding->Port();
}

/// True when a client can connect to 127.0.0.1:APort (the connection is closed at once).
inline bool Accepts(int32_t APort) {
  TTestClient Probe;
  return Probe.Connect(APort);
}

/// A log of texts written by many threads.
class TEventLog {
public:
  void Add(const std::string& AEntry) {
    std::lock_guard<std::mutex> Guard(FLock);
    FEntries.push_back(AEntry);
  }
  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> Guard(FLock);
    return FEntries;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> Guard(FLock);
    return FEntries.size();
  }
  size_t CountOf(const std::string& AEntry) const {
    std::lock_guard<std::mutex> Guard(FLock);
    size_t N = 0;
    for (const auto& E : FEntries)
      N += E == AEntry ? 1 : 0;
    return N;
  }

private:
  mutable std::mutex FLock;
  std::vector<std::string> FEntries;
};

/// Entries of a /proc directory, without "." and "..".
inline int CountDirectoryEntries(const char* APath) {
  DIR* Dir = ::opendir(APath);
  if (!Dir) return -1;
  int Count = 0;
  while (dirent* Entry = ::readdir(Dir))
    if (std::strcmp(Entry->d_name, ".") != 0 && std::strcmp(Entry->d_name, "..") != 0) ++Count;
  ::closedir(Dir);
  return Count - (std::strcmp(APath, "/proc/self/fd") == 0 ? 1 : 0); // opendir's own descriptor
}
inline int OpenDescriptorCount() {
  return CountDirectoryEntries("/proc/self/fd");
}
inline int ThreadCount() {
  return CountDirectoryEntries("/proc/self/task");
}

} // namespace IdTest
