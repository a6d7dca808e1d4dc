// SPDX-License-Identifier: MIT
// The raw byte channel under a TLS session: a socket handle, or memory in tests and fuzzing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "idframework/runtime/Export.h"

namespace Id {

class TIdSocketHandle;

/// What a TIdTLSEngine reads its records from and writes them to. Called only on the thread
/// that is inside a call of the engine; may raise (the engine hands the exception on to its
/// caller once OpenSSL has returned).
class ID_API TIdTLSPipe {
public:
  /// The result of a pipe call that could not move a byte now (a time limit passed, or a send
  /// that must not wait); the engine's call can be repeated later.
  static constexpr int32_t NoBytesNow = -2;

  /// Bytes received (1..ALength), 0 at the end of the stream, -1 for a socket failure (its
  /// number stays in the stack's last error of this thread) or NoBytesNow.
  virtual int32_t PipeReceive(void* ABuffer, int32_t ALength) = 0;
  /// Bytes taken (1..ALength), -1 for a socket failure, or NoBytesNow.
  virtual int32_t PipeSend(const void* ABuffer, int32_t ALength) = 0;

protected:
  ~TIdTLSPipe() = default;
};

/// The records of a session over a socket handle, straight through the handle's calls: a close
/// of the socket from another thread wakes a wait or a receive of the pipe as it wakes a plain
/// one. A receive waits up to the deadline of the engine call under way.
///
/// Threads: the thread inside the engine call; the settings are made by that thread before it.
class ID_API TIdTLSSocketPipe final : public TIdTLSPipe {
public:
  /// The clock of the deadlines.
  using TClock = std::chrono::steady_clock;

  /// AHandle is not owned and outlives the pipe.
  explicit TIdTLSSocketPipe(TIdSocketHandle& AHandle) noexcept : FHandle(AHandle) {}

  /// The receives of the next engine call wait until ADeadline (none: without limit); one that
  /// finds it passed takes nothing (NoBytesNow).
  void SetDeadline(std::optional<TClock::time_point> ADeadline) noexcept { FDeadline = ADeadline; }
  /// While true, a receive takes nothing and a send takes only what the socket takes at once:
  /// the closing alert never waits for a peer that does not read.
  void SetNoWait(bool AValue) noexcept { FNoWait = AValue; }

  int32_t PipeReceive(void* ABuffer, int32_t ALength) override;
  int32_t PipeSend(const void* ABuffer, int32_t ALength) override;

private:
  TIdSocketHandle& FHandle;
  std::optional<TClock::time_point> FDeadline;
  bool FNoWait = false;
};

} // namespace Id
