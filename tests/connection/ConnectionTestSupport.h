// SPDX-License-Identifier: MIT
// Loopback peers and a recording transport for the connection tests.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "idframework/connection/IdIOHandler.h"
#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/connection/IdTCPConnection.h"
#include "idframework/core/IdException.h"
#include "support/RawPeer.h"

namespace IdTest {

/// A TIdTCPConnection over a real socket transport connected to a raw peer on loopback:
/// listen, connect, accept on one thread. The connection owns its transport.
struct TConnectedPair {
  Id::TIdTCPConnection Conn{nullptr};
  TRawPeer Peer;

  TConnectedPair() {
    TRawListener L;
    auto Transport = std::make_unique<Id::TIdIOHandlerSocket>(nullptr);
    Transport->OpenIO();
    Transport->ConnectTo("127.0.0.1", L.Port(), "", 0, 0, 0, -1);
    Peer = L.Accept();
    if (!Peer.IsOpen()) throw std::runtime_error("the connect was not accepted");
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
