// SPDX-License-Identifier: MIT
// The tests' own loopback peers over the Raw:: sockets, independent of the stack under test: the
// far end of a connection, a client of a server, a scripted server. Failures show in results
// (false, a short string, a peer that is not open), never as exceptions; only a listener that
// cannot listen raises.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/RawSocket.h"
#include "support/WaitFor.h"

namespace IdTest {

/// One end of a TCP connection on 127.0.0.1, with a receive buffer of its own for lines. Send and
/// ShutdownWrite may run on one thread while another receives.
class TRawPeer {
public:
  /// No socket yet: Open or Connect makes one.
  TRawPeer() = default;
  /// Connected to 127.0.0.1:APort; not open when refused.
  explicit TRawPeer(int32_t APort) { Connect(APort); }
  /// Takes over AFd (an accepted socket, or one made by hand).
  static TRawPeer Adopt(Raw::TFd AFd) {
    TRawPeer Peer;
    Peer.FFd = AFd;
    return Peer;
  }
  ~TRawPeer() { Close(); }
  TRawPeer(TRawPeer&& AOther) noexcept { *this = std::move(AOther); }
  TRawPeer& operator=(TRawPeer&& AOther) noexcept {
    if (this != &AOther) {
      Close();
      FFd = std::exchange(AOther.FFd, Raw::NoSocket);
      FBuffer = std::move(AOther.FBuffer);
      FPeerClosed = std::exchange(AOther.FPeerClosed, false);
    }
    return *this;
  }
  TRawPeer(const TRawPeer&) = delete;
  TRawPeer& operator=(const TRawPeer&) = delete;

  Raw::TFd Fd() const noexcept { return FFd; }
  bool IsOpen() const noexcept { return FFd != Raw::NoSocket; }

  /// Makes the socket now and connects later (for tests that need the descriptor first).
  bool Open() {
    Close();
    FFd = Raw::Socket();
    return IsOpen();
  }
  /// Connects to 127.0.0.1:APort with the socket Open made, else with a new one; false when
  /// refused, and the socket is closed.
  bool Connect(int32_t APort) {
    if (!IsOpen() && !Open()) return false;
    if (Raw::Connect(FFd, APort)) return true;
    Close();
    return false;
  }

  /// Sends every byte (blocking); false when the socket fails first.
  bool Send(const std::string& AData) const {
    size_t Sent = 0;
    while (Sent < AData.size()) {
      const long N = Raw::Send(FFd, AData.data() + Sent, AData.size() - Sent);
      if (N <= 0) return false;
      Sent += static_cast<size_t>(N);
    }
    return true;
  }
  bool SendLine(const std::string& ALine) const { return Send(ALine + "\r\n"); }

  /// The next line without its LF or CR LF; empty with AOk false when the peer closed, the socket
  /// failed or ALimit passed first.
  std::string ReadLine(bool* AOk = nullptr, std::chrono::milliseconds ALimit = FactLimit) {
    const TTime Deadline = TClock::now() + ALimit;
    size_t Lf;
    while ((Lf = FBuffer.find('\n')) == std::string::npos)
      if (!ReceiveMore(SIZE_MAX, Deadline)) {
        if (AOk) *AOk = false;
        return std::string();
      }
    std::string Line = FBuffer.substr(0, Lf);
    FBuffer.erase(0, Lf + 1);
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    if (AOk) *AOk = true;
    return Line;
  }
  /// Exactly ACount bytes, or fewer when the peer closes or ALimit passes first. Takes no byte
  /// beyond them from the socket.
  std::string Receive(size_t ACount, std::chrono::milliseconds ALimit = FactLimit) {
    const TTime Deadline = TClock::now() + ALimit;
    while (FBuffer.size() < ACount && ReceiveMore(ACount - FBuffer.size(), Deadline)) {
    }
    return Take(ACount);
  }
  /// What has arrived: the buffered bytes, else one receive within ALimit; empty when the peer
  /// closed, the socket failed or the time passed.
  std::string ReceiveSome(std::chrono::milliseconds ALimit = FactLimit) {
    if (FBuffer.empty()) ReceiveMore(SIZE_MAX, TClock::now() + ALimit);
    return Take(SIZE_MAX);
  }
  /// Everything until the peer closes or resets; AClosed tells whether it did before ALimit.
  std::string ReadUntilClosed(bool* AClosed = nullptr,
                              std::chrono::milliseconds ALimit = FactLimit) {
    const TTime Deadline = TClock::now() + ALimit;
    while (ReceiveMore(SIZE_MAX, Deadline)) {
    }
    if (AClosed) *AClosed = FPeerClosed;
    return Take(SIZE_MAX);
  }
  /// True once the peer has closed or reset the connection (what it sent before is dropped).
  bool WaitClosed(std::chrono::milliseconds ALimit = FactLimit) {
    bool Closed = false;
    ReadUntilClosed(&Closed, ALimit);
    return Closed;
  }
  /// True when input (or the peer's close) is there within ALimit.
  bool WaitReadable(std::chrono::milliseconds ALimit) const {
    return !FBuffer.empty() || FPeerClosed ||
           (IsOpen() && Raw::WaitReadable(FFd, static_cast<int>(ALimit.count())) == 1);
  }

  /// The orderly close of the sending side; receiving goes on.
  void ShutdownWrite() const { Raw::ShutdownWrite(FFd); }
  /// Closes with a reset (linger on, timeout 0) instead of an orderly close.
  void Reset() {
    if (IsOpen()) Raw::CloseWithReset(FFd);
    FFd = Raw::NoSocket;
    Close();
  }
  void Close() {
    if (IsOpen()) Raw::Close(FFd);
    FFd = Raw::NoSocket;
    FBuffer.clear();
    FPeerClosed = false;
  }

private:
  using TClock = std::chrono::steady_clock;
  using TTime = TClock::time_point;

  // One receive of at most AMax bytes into the buffer, waiting until ADeadline; false when the
  // peer closed (or reset), the socket failed or the time passed.
  bool ReceiveMore(size_t AMax, TTime ADeadline) {
    if (!IsOpen() || FPeerClosed) return false;
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - TClock::now());
    if (Left.count() <= 0 || Raw::WaitReadable(FFd, static_cast<int>(Left.count())) != 1)
      return false;
    char Block[16384];
    const long N = Raw::Receive(FFd, Block, std::min(sizeof(Block), AMax));
    if (N <= 0) {
      FPeerClosed = true;
      return false;
    }
    FBuffer.append(Block, static_cast<size_t>(N));
    return true;
  }

  std::string Take(size_t ACount) {
    std::string Taken = FBuffer.substr(0, ACount);
    FBuffer.erase(0, Taken.size());
    return Taken;
  }

  Raw::TFd FFd = Raw::NoSocket;
  std::string FBuffer;
  bool FPeerClosed = false;
};

/// A listening socket on 127.0.0.1 with a port the platform chose; also holds a port taken.
class TRawListener {
public:
  /// Raises std::runtime_error when it cannot listen.
  explicit TRawListener(int ABacklog = 16) : FFd(Raw::Socket()) {
    if (FFd == Raw::NoSocket || !Raw::Listen(FFd, 0, ABacklog) ||
        (FPort = Raw::LocalPort(FFd)) == 0) {
      Close();
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
  }
  ~TRawListener() { Close(); }
  TRawListener(const TRawListener&) = delete;
  TRawListener& operator=(const TRawListener&) = delete;

  int32_t Port() const noexcept { return FPort; }
  Raw::TFd Fd() const noexcept { return FFd; }
  /// The next connection, waiting up to ALimit for it; a peer that is not open when none came.
  TRawPeer Accept(std::chrono::milliseconds ALimit = FactLimit) const {
    if (FFd == Raw::NoSocket || Raw::WaitReadable(FFd, static_cast<int>(ALimit.count())) != 1)
      return TRawPeer();
    return TRawPeer::Adopt(Raw::Accept(FFd));
  }
  void Close() {
    if (FFd != Raw::NoSocket) Raw::Close(FFd);
    FFd = Raw::NoSocket;
  }

private:
  Raw::TFd FFd;
  int32_t FPort = 0;
};

} // namespace IdTest
