// Helpers for the server tests: a plain client socket of the platform on 127.0.0.1, starting a
// server on an ephemeral loopback port, thread-safe event logs and the process's descriptor and
// thread counts.
#pragma once

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "net/IdSocketHandle.h"
#include "server/IdPeerThread.h"
#include "server/IdTCPServer.h"
#include "support/ProcessFacts.h"
#include "support/RawSocket.h"
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
    FFd = Raw::Socket();
    if (FFd == Raw::NoSocket) return false;
    if (Raw::Connect(FFd, APort)) return true;
    Close();
    return false;
  }
  /// Creates the socket without connecting (for tests that need the descriptor first).
  bool CreateSocket() {
    Close();
    FFd = Raw::Socket();
    return FFd != Raw::NoSocket;
  }
  bool ConnectCreated(int32_t APort) { return Raw::Connect(FFd, APort); }
  bool IsOpen() const { return FFd != Raw::NoSocket; }

  bool Send(const std::string& AData) {
    size_t Sent = 0;
    while (Sent < AData.size()) {
      const long N = Raw::Send(FFd, AData.data() + Sent, AData.size() - Sent);
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
    if (FFd == Raw::NoSocket) return;
    Raw::CloseWithReset(FFd);
    FFd = Raw::NoSocket;
    Close();
  }
  void Close() {
    if (FFd != Raw::NoSocket) Raw::Close(FFd);
    FFd = Raw::NoSocket;
    FBuffer.clear();
    FPeerClosed = false;
  }

private:
  // False when the peer closed, the socket failed or the deadline passed.
  bool ReceiveSome(std::chrono::steady_clock::time_point ADeadline) {
    if (FFd == Raw::NoSocket || FPeerClosed) return false;
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
        ADeadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0) return false;
    if (Raw::WaitReadable(FFd, static_cast<int>(Left.count())) <= 0) return false;
    char Block[4096];
    const long N = Raw::Receive(FFd, Block, sizeof(Block));
    if (N <= 0) {
      FPeerClosed = true;
      return false;
    }
    FBuffer.append(Block, static_cast<size_t>(N));
    return true;
  }

  Raw::TFd FFd = Raw::NoSocket;
  std::string FBuffer;
  bool FPeerClosed = false;
};

/// A listening plain socket on 127.0.0.1 with a platform-chosen port, to occupy that port.
class TPortBlocker {
public:
  TPortBlocker() {
    FFd = Raw::Socket();
    Raw::Listen(FFd, 0, 1);
    FPort = Raw::LocalPort(FFd);
  }
  ~TPortBlocker() { Raw::Close(FFd); }
  TPortBlocker(const TPortBlocker&) = delete;
  TPortBlocker& operator=(const TPortBlocker&) = delete;
  int32_t Port() const { return FPort; }

private:
  Raw::TFd FFd = Raw::NoSocket;
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

// OpenDescriptorCount and ThreadCount: support/ProcessFacts.h.

} // namespace IdTest
