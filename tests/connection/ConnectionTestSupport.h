// Loopback peers and a recording transport for the connection tests.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "connection/IdIOHandler.h"
#include "connection/IdIOHandlerSocket.h"
#include "connection/IdTCPConnection.h"
#include "core/IdException.h"
#include "support/RawSocket.h"

namespace IdTest {

/// A plain socket of the platform: the far end of a connection under test, independent of the
/// framework's stack.
class TRawSocket {
public:
  explicit TRawSocket(int AFd = Raw::NoSocket) : FFd(AFd) {}
  ~TRawSocket() { Close(); }
  TRawSocket(TRawSocket&& AOther) noexcept : FFd(AOther.FFd) { AOther.FFd = Raw::NoSocket; }
  TRawSocket& operator=(TRawSocket&& AOther) noexcept {
    if (this != &AOther) {
      Close();
      FFd = AOther.FFd;
      AOther.FFd = Raw::NoSocket;
    }
    return *this;
  }

  int Fd() const noexcept { return FFd; }
  void Close() {
    if (FFd != Raw::NoSocket) Raw::Close(FFd);
    FFd = Raw::NoSocket;
  }
  /// Sends every byte (blocking).
  void Send(const std::string& AData) const {
    size_t Done = 0;
    while (Done < AData.size()) {
      const long N = Raw::Send(FFd, AData.data() + Done, AData.size() - Done);
      if (N <= 0) throw std::runtime_error("peer send failed");
      Done += static_cast<size_t>(N);
    }
  }
  /// Receives exactly ACount bytes, or fewer when the other side closes; waits up to 10 s.
  std::string Receive(size_t ACount) const {
    std::string Out;
    char Block[65536];
    while (Out.size() < ACount && WaitReadable(10000)) {
      const long N = Raw::Receive(FFd, Block, std::min(sizeof(Block), ACount - Out.size()));
      if (N <= 0) break;
      Out.append(Block, static_cast<size_t>(N));
    }
    return Out;
  }
  /// Everything until the other side closes.
  std::string ReceiveAll() const { return Receive(SIZE_MAX); }
  bool WaitReadable(int AMs) const { return Raw::WaitReadable(FFd, AMs) == 1; }
  /// The graceful close of the sending side.
  void ShutdownWrite() const { Raw::ShutdownWrite(FFd); }
  /// Closes with a reset (linger on, timeout 0).
  void Reset() {
    if (FFd != Raw::NoSocket) Raw::CloseWithReset(FFd);
    FFd = Raw::NoSocket;
  }

private:
  int FFd;
};

/// A listening plain socket on 127.0.0.1 with a platform-chosen port.
class TRawListener {
public:
  explicit TRawListener(int ABacklog = 16) {
    FSocket = TRawSocket(Raw::Socket());
    if (FSocket.Fd() == Raw::NoSocket || !Raw::Listen(FSocket.Fd(), 0, ABacklog) ||
        (FPort = Raw::LocalPort(FSocket.Fd())) == 0)
      throw std::runtime_error("listen failed");
  }
  int32_t Port() const noexcept { return FPort; }
  int Fd() const noexcept { return FSocket.Fd(); }
  /// Accepts one pending connection (waits up to 10 s).
  TRawSocket Accept() const {
    if (!FSocket.WaitReadable(10000)) throw std::runtime_error("nothing to accept");
    return TRawSocket(Raw::Accept(FSocket.Fd()));
  }
  void Close() { FSocket.Close(); }

private:
  TRawSocket FSocket;
  int32_t FPort = 0;
};

/// A plain client connected to 127.0.0.1:APort.
inline TRawSocket RawConnect(int32_t APort) {
  TRawSocket S(Raw::Socket());
  if (!Raw::Connect(S.Fd(), APort)) throw std::runtime_error("connect failed");
  return S;
}

/// A TIdTCPConnection over a real socket transport connected to a raw peer on loopback:
/// listen, connect, accept on one thread. The connection owns its transport.
struct TConnectedPair {
  Id::TIdTCPConnection Conn{nullptr};
  TRawSocket Peer;

  TConnectedPair() {
    TRawListener L;
    auto Transport = std::make_unique<Id::TIdIOHandlerSocket>(nullptr);
    Transport->OpenIO();
    Transport->ConnectTo("127.0.0.1", L.Port(), "", 0, 0, 0, -1);
    Peer = L.Accept();
    Conn.SetIOHandler(std::move(Transport));
  }
};

/// A scripted transport for what a real socket cannot show: how bytes are handed to the
/// transport call by call. Sends accept at most MaxPerSend bytes per call and are recorded;
/// receives deliver Incoming at most MaxPerReceive bytes at a time, then an orderly close.
class TRecordingTransport : public Id::TIdIOHandler {
public:
  explicit TRecordingTransport(Id::TComponent* AOwner = nullptr) : Id::TIdIOHandler(AOwner) {}

  std::vector<std::string> Sends;
  std::string Incoming;
  size_t IncomingRead = 0;
  int32_t MaxPerSend = INT32_MAX;
  int32_t MaxPerReceive = INT32_MAX;
  int32_t Receives = 0;
  bool Open = true;
  int CloseCalls = 0;

  bool IsOpen() override { return Open; }
  void CloseIO() override {
    ++CloseCalls;
    Open = false;
  }
  bool AwaitReadable(int32_t) override {
    if (!Open) throw Id::EIdConnClosedGracefully();
    return true;
  }
  int32_t ReceiveBytes(void* ABuffer, int32_t ALength) override {
    if (!Open) throw Id::EIdClosedSocket();
    ++Receives;
    const size_t N =
        std::min({Incoming.size() - IncomingRead, size_t(ALength), size_t(MaxPerReceive)});
    Incoming.copy(static_cast<char*>(ABuffer), N, IncomingRead);
    IncomingRead += N;
    return static_cast<int32_t>(N);
  }
  int32_t SendBytes(const void* ABuffer, int32_t ALength) override {
    if (!Open) throw Id::EIdClosedSocket();
    const int32_t N = std::min(ALength, MaxPerSend);
    Sends.emplace_back(static_cast<const char*>(ABuffer), static_cast<size_t>(N));
    return N;
  }
  std::string AllSent() const {
    std::string S;
    for (const auto& B : Sends)
      S += B;
    return S;
  }
};

} // namespace IdTest
