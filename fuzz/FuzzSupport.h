// SPDX-License-Identifier: MIT
// Shared parts of the fuzz targets: reading set-up values off the front of an input, a schedule
// of receive sizes chosen by the fuzzer, and an in-memory transport that hands a payload over
// in those pieces.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "idframework/connection/IdIOHandler.h"
#include "idframework/core/IdException.h"

namespace IdFuzz {

/// A broken invariant: says which and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] inline void Fail(const char* AWhat) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", AWhat);
  std::abort();
}

inline void Check(bool ACondition, const char* AWhat) {
  if (!ACondition) Fail(AWhat);
}

/// The fuzzer's bytes, consumed from the front: set-up values first, the payload last. Reading
/// past the end gives zeros, so every input is a valid set-up.
class TFuzzInput {
public:
  TFuzzInput(const uint8_t* AData, std::size_t ASize) : FData(AData), FSize(ASize) {}

  uint8_t Byte() { return FTaken < FSize ? FData[FTaken++] : 0; }
  bool Bit(uint8_t AByte, unsigned AIndex) const { return ((AByte >> AIndex) & 1u) != 0; }
  /// Everything not consumed yet.
  std::string Rest() {
    const std::size_t From = std::min(FTaken, FSize);
    FTaken = FSize;
    return std::string(reinterpret_cast<const char*>(FData) + From, FSize - From);
  }
  /// At most AMax bytes (fewer when the input ends).
  std::string Take(std::size_t AMax) {
    const std::size_t From = std::min(FTaken, FSize);
    const std::size_t N = std::min(AMax, FSize - From);
    FTaken = From + N;
    return std::string(reinterpret_cast<const char*>(FData) + From, N);
  }

private:
  const uint8_t* FData;
  std::size_t FSize;
  std::size_t FTaken = 0;
};

/// The sizes of successive receives, repeated cyclically. Read from the input as one count byte
/// (1 to 4 sizes) and that many size bytes: 0 means "as much as asked for", else 1 to 255 bytes.
class TChunkSchedule {
public:
  TChunkSchedule() = default;
  explicit TChunkSchedule(std::vector<std::size_t> ASizes) : FSizes(std::move(ASizes)) {}

  static TChunkSchedule Read(TFuzzInput& AInput) {
    std::vector<std::size_t> Sizes(1 + AInput.Byte() % 4);
    for (auto& Size : Sizes) {
      const uint8_t B = AInput.Byte();
      Size = B == 0 ? SIZE_MAX : B;
    }
    return TChunkSchedule(std::move(Sizes));
  }

  /// The largest piece the next receive may return.
  std::size_t Next() {
    if (FSizes.empty()) return SIZE_MAX;
    const std::size_t Size = FSizes[FNext];
    FNext = (FNext + 1) % FSizes.size();
    return Size;
  }

private:
  std::vector<std::size_t> FSizes;
  std::size_t FNext = 0;
};

/// What the peer does when the payload is used up.
enum class TPayloadEnd {
  peClose,  // an orderly close: ReceiveBytes returns 0
  peSilence // nothing more ever arrives: AwaitReadable reports a timeout
};

/// A transport whose peer sends APayload in pieces of the schedule's sizes (never more than the
/// caller asks for), then ends as AEnd says. Every byte sent to it is kept. After CloseIO every
/// call fails as a closed socket does.
class TMemoryTransport : public Id::TIdIOHandler {
public:
  TMemoryTransport(std::string APayload, TChunkSchedule ASchedule,
                   TPayloadEnd AEnd = TPayloadEnd::peClose)
      : Id::TIdIOHandler(nullptr), FPayload(std::move(APayload)), FSchedule(std::move(ASchedule)),
        FEnd(AEnd) {}

  bool IsOpen() override { return FOpen; }
  void CloseIO() override { FOpen = false; }
  bool AwaitReadable(int32_t) override {
    if (!FOpen) throw Id::EIdConnClosedGracefully();
    return FTaken < FPayload.size() || FEnd == TPayloadEnd::peClose;
  }
  int32_t ReceiveBytes(void* ABuffer, int32_t ALength) override {
    if (!FOpen) throw Id::EIdClosedSocket();
    Check(ALength > 0, "a receive asked for no bytes");
    const std::size_t N =
        std::min({FPayload.size() - FTaken, static_cast<std::size_t>(ALength), FSchedule.Next()});
    std::memcpy(ABuffer, FPayload.data() + FTaken, N);
    FTaken += N;
    return static_cast<int32_t>(N);
  }
  int32_t SendBytes(const void* ABuffer, int32_t ALength) override {
    if (!FOpen) throw Id::EIdClosedSocket();
    Check(ALength > 0, "a send offered no bytes");
    FSent.append(static_cast<const char*>(ABuffer), static_cast<std::size_t>(ALength));
    return ALength;
  }

  /// Payload bytes handed over so far.
  std::size_t Taken() const noexcept { return FTaken; }
  /// Everything sent to the peer.
  const std::string& Sent() const noexcept { return FSent; }

private:
  std::string FPayload;
  TChunkSchedule FSchedule;
  TPayloadEnd FEnd;
  std::size_t FTaken = 0;
  std::string FSent;
  bool FOpen = true;
};

/// The line reader's contract computed on a whole stream at once: the next line up to
/// ATerminator (LF drops one CR before it too), a piece of AMaxLength bytes when the line is
/// longer and ASplit, else nothing (stream ended, or LimitHit). AMaxLength 0 is unlimited.
class TLineModel {
public:
  TLineModel(std::string AStream, std::string ATerminator, std::size_t AMaxLength, bool ASplit)
      : FStream(std::move(AStream)), FTerminator(std::move(ATerminator)), FMax(AMaxLength),
        FSplit(ASplit) {}

  std::optional<std::string> NextLine() {
    const std::size_t Found = FStream.find(FTerminator, FAt);
    // Without a terminator, the stream's last bytes may begin one that never came: they are
    // not known to belong to the line.
    // The limit is of the line as returned: the CR of a CR LF does not count.
    const std::size_t Available = Found == std::string::npos
                                      ? FStream.size() - FAt - PartialTerminatorAtEnd()
                                      : Found - FAt - (EndsLikeCrLf(Found) ? 1 : 0);
    if (FMax != 0 && Available > FMax) {
      if (!FSplit) {
        LimitHit = true;
        return std::nullopt;
      }
      FAt += FMax;
      return FStream.substr(FAt - FMax, FMax);
    }
    if (Found == std::string::npos) return std::nullopt;
    std::string Line = FStream.substr(FAt, Found - FAt);
    FAt = Found + FTerminator.size();
    if (FTerminator == "\n" && !Line.empty() && Line.back() == '\r') Line.pop_back();
    return Line;
  }

  /// The last NextLine ended because a line was too long under the exception action.
  bool LimitHit = false;

private:
  // With LF as the terminator, the bytes from FAt up to AEnd end in the CR of a CR LF.
  bool EndsLikeCrLf(std::size_t AEnd) const {
    return FTerminator == "\n" && AEnd > FAt && FStream[AEnd - 1] == '\r';
  }

  std::size_t PartialTerminatorAtEnd() const {
    if (EndsLikeCrLf(FStream.size())) return 1;
    const std::size_t Rest = FStream.size() - FAt;
    for (std::size_t K = std::min(Rest, FTerminator.size() - 1); K > 0; --K)
      if (FStream.compare(FStream.size() - K, K, FTerminator, 0, K) == 0) return K;
    return 0;
  }

  std::string FStream;
  std::string FTerminator;
  std::size_t FMax;
  bool FSplit;
  std::size_t FAt = 0;
};

} // namespace IdFuzz
