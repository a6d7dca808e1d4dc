// SPDX-License-Identifier: MIT
// The engine of idload: a fixed number of connection slots driven by one epoll loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Id::Bench {

enum class TLoadMode { lmClose, lmLine, lmHold };

/// How a connection or request failed.
enum TFailKind { fkRefused, fkReset, fkWrong, fkTimeout, fkClosed, fkOther, fkKindCount };

struct TLoadOptions {
  std::string Host = "127.0.0.1";
  int Port = 0;
  TLoadMode Mode = TLoadMode::lmClose;
  size_t Concurrency = 1;
  double DurationS = 5;
  uint64_t Count = 0; // 0: run for DurationS
  std::string Expect = "test";
  std::string Line = "PING";
  std::string ReplyPrefix = "200";
  int TimeoutMs = 5000;
  size_t Window = 64; // hold mode: connections still being set up at once
  double HoldS = 60;  // hold mode: 0 leaves once every connection was served
};

/// Runs one load according to its options; single-threaded, not thread-safe.
class TLoadGenerator {
public:
  /// Throws std::runtime_error when the host is not an IPv4 loopback address or epoll fails.
  explicit TLoadGenerator(const TLoadOptions& AOptions);
  ~TLoadGenerator();
  TLoadGenerator(const TLoadGenerator&) = delete;
  TLoadGenerator& operator=(const TLoadGenerator&) = delete;

  /// Runs until the duration, count or hold ends (or SIGTERM/SIGINT), then closes everything.
  void Run();
  /// One line of key=value facts about the finished run.
  std::string Report() const;

private:
  enum class TSlotState { ssFree, ssConnecting, ssWaiting, ssIdle, ssDone };
  struct TSlot {
    int Fd = -1;
    TSlotState State = TSlotState::ssFree;
    uint64_t StartNs = 0;
    uint64_t DeadlineNs = 0; // 0: none
    std::string Received;
  };

  bool MayStartMore() const;
  void StartConnections();
  void Open(size_t ASlot);
  void OnEvent(size_t ASlot, uint32_t AEvents);
  void OnConnected(size_t ASlot);
  void OnReadable(size_t ASlot);
  void OnBytes(size_t ASlot, bool AEof);
  void OnReplyLine(size_t ASlot, const std::string& ALine);
  bool SendLine(size_t ASlot);
  void Succeed(size_t ASlot);
  void Fail(size_t ASlot, TFailKind AKind);
  void FailWithErrno(size_t ASlot, int AError);
  void Release(size_t ASlot);
  void CheckTimeouts(uint64_t ANow);
  void CheckHoldProgress();
  bool Finished(uint64_t ANow);
  void Watch(size_t ASlot, uint32_t AEvents, bool AAdd);

  TLoadOptions FOptions;
  uint32_t FAddress = 0; // network order
  int FEpoll = -1;
  std::vector<TSlot> FSlots;
  std::vector<size_t> FFree;
  std::vector<uint64_t> FLatencyNs;
  uint64_t FFailures[fkKindCount] = {};
  uint64_t FStarted = 0; // connections (close, hold) or requests (line) begun
  uint64_t FOk = 0;
  size_t FBusy = 0;   // slots with an open socket
  size_t FSetup = 0;  // hold: slots not yet served
  size_t FServed = 0; // hold: slots served and idle
  uint64_t FClosedByPeer = 0;
  bool FStopping = false;
  bool FReadyPrinted = false;
  uint64_t FStartNs = 0;
  uint64_t FStopNs = 0;
  uint64_t FLastDoneNs = 0;
  uint64_t FLastOkNs = 0;
  uint64_t FReadyNs = 0;
  uint64_t FFirstCloseNs = 0;
  double FCpuS = 0;
};

} // namespace Id::Bench
