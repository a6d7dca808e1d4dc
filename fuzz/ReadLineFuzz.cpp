// SPDX-License-Identifier: MIT
// Fuzz target: line and reply reading over arbitrary byte streams, received in pieces of
// fuzzer-chosen sizes, with arbitrary limits.
//
// Input: a receive-size schedule (see TChunkSchedule), two set-up bytes, then the payload.
//   byte 1: the maximum line length (% 40; 0 is unlimited);
//   byte 2: bit 0 maSplit, bit 1 CR LF terminator, bit 2 ASCII filter, bit 3 replies,
//           bit 4 silence instead of a close at the end, bits 5-7 the receive block size.
//
// Every line and every reply must equal what a plain model of the reader computes from the whole
// payload at once: how the bytes are cut into receives must never show in the result.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "idframework/connection/IdTCPConnection.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/runtime/SysUtils.h"

namespace {

using namespace Id;
using IdFuzz::Check;

struct TSetUp {
  int32_t MaxLength;
  bool Split;
  std::string Terminator; // as given to ReadLine; "" reads up to LF
  bool Filter;
  bool Replies;
  IdFuzz::TPayloadEnd End;
  int32_t BlockSize;
};

TSetUp ReadSetUp(IdFuzz::TFuzzInput& AInput) {
  static const int32_t BlockSizes[] = {1, 2, 3, 5, 16, 64, 1024, 32768};
  TSetUp S;
  S.MaxLength = AInput.Byte() % 40;
  const uint8_t Flags = AInput.Byte();
  S.Split = AInput.Bit(Flags, 0);
  S.Terminator = AInput.Bit(Flags, 1) ? "\r\n" : "";
  S.Filter = AInput.Bit(Flags, 2);
  S.Replies = AInput.Bit(Flags, 3);
  S.End = AInput.Bit(Flags, 4) ? IdFuzz::TPayloadEnd::peSilence : IdFuzz::TPayloadEnd::peClose;
  S.BlockSize = BlockSizes[Flags >> 5];
  return S;
}

void ReadLines(TIdTCPConnection& C, IdFuzz::TLineModel& AModel, const TSetUp& S) {
  for (;;) {
    const std::optional<std::string> Expected = AModel.NextLine();
    std::string Line;
    try {
      Line = C.ReadLine(S.Terminator);
    } catch (const EIdReadLnMaxLineLengthExceeded&) {
      Check(!Expected && AModel.LimitHit, "the line limit raised where the model has a line");
      return;
    } catch (const EIdException&) {
      Check(!Expected && !AModel.LimitHit, "the stream ended where the model has a line");
      return;
    }
    Check(Expected.has_value(), "a line where the model has none");
    Check(Line == *Expected, "a line differs from the model's");
  }
}

/// The model of one reply: non-blank trimmed lines, continued while "nnn-" lasts.
std::optional<TStringList> NextReplyLines(IdFuzz::TLineModel& AModel) {
  auto NonBlank = [&]() -> std::optional<std::string> {
    for (;;) {
      std::optional<std::string> Line = AModel.NextLine();
      if (!Line) return std::nullopt;
      std::string Trimmed = Trim(*Line);
      if (!Trimmed.empty()) return Trimmed;
    }
  };
  TStringList Lines;
  std::optional<std::string> First = NonBlank();
  if (!First) return std::nullopt;
  Lines.Add(*First);
  if (First->size() > 3 && (*First)[3] == '-') {
    const std::string EndMarker = First->substr(0, 3) + " ";
    for (;;) {
      std::optional<std::string> Line = NonBlank();
      if (!Line) return std::nullopt;
      Lines.Add(*Line);
      if (Line->size() < 4 || SameText(Line->substr(0, 4), EndMarker)) break;
    }
  }
  return Lines;
}

void ReadReplies(TIdTCPConnection& C, IdFuzz::TLineModel& AModel) {
  for (;;) {
    const std::optional<TStringList> Lines = NextReplyLines(AModel);
    try {
      C.ReadReplyLines();
    } catch (const EIdException&) {
      Check(!Lines, "reading a reply failed where the model has one");
      return;
    }
    Check(Lines.has_value(), "a reply where the model has none");
    TIdRFCReply Expected;
    Expected.ParseReplyLines(*Lines);
    Check(C.LastReply().NumericCode() == Expected.NumericCode(), "a reply code differs");
    Check(C.LastReply().Text().Count() == Expected.Text().Count(), "a reply's line count differs");
    for (int I = 0; I < Expected.Text().Count(); ++I)
      Check(C.LastReply().Text()[I] == Expected.Text()[I], "a reply line differs");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  IdFuzz::TFuzzInput Input(AData, ASize);
  IdFuzz::TChunkSchedule Schedule = IdFuzz::TChunkSchedule::Read(Input);
  const TSetUp S = ReadSetUp(Input);
  const std::string Payload = Input.Rest();

  TIdTCPConnection C(nullptr);
  C.SetIOHandler(std::make_unique<IdFuzz::TMemoryTransport>(Payload, Schedule, S.End));
  C.SetRecvBufferSize(S.BlockSize);
  C.SetMaxLineLength(S.MaxLength);
  C.SetMaxLineAction(S.Split ? TIdMaxLineAction::maSplit : TIdMaxLineAction::maException);
  C.SetASCIIFilter(S.Filter);
  int64_t Consumed = 0;
  C.OnWork = [&](TComponent*, TWorkMode, int32_t ATotal) { Consumed = ATotal; };
  C.NotifyWorkBegin(TWorkMode::wkRead, 0);

  std::string Stream = Payload;
  if (S.Filter)
    for (char& Ch : Stream)
      Ch = static_cast<char>(Ch & 0x7F);
  // Replies are read with the LF reader whatever the set-up's terminator.
  const bool LF = S.Replies || S.Terminator.empty();
  IdFuzz::TLineModel Model(Stream, LF ? "\n" : S.Terminator, static_cast<size_t>(S.MaxLength),
                           S.Split);
  if (S.Replies)
    ReadReplies(C, Model);
  else
    ReadLines(C, Model, S);

  Check(Consumed <= int64_t(Payload.size()), "more bytes consumed than received");
  C.NotifyWorkEnd(TWorkMode::wkRead);
  return 0;
}
