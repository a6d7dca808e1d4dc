// Fuzz target: line and reply reading over arbitrary byte streams, delivered in arbitrary
// pieces, with arbitrary limits. The first four bytes choose the set-up; the rest is the input.
//
// Checked on every run: no crash or sanitizer report, only framework exceptions, a returned line
// never holds the LF terminator nor exceeds a limit in force, and the bytes consumed never
// exceed the bytes received.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "connection/IdIOHandler.h"
#include "connection/IdTCPConnection.h"
#include "core/IdException.h"
#include "server/IdRFCReply.h"

namespace {

using namespace Id;

// Delivers the input in pieces of a fixed size, then an orderly close.
class TStreamTransport : public TIdIOHandler {
public:
  TStreamTransport(std::string AInput, int32_t APiece)
      : TIdIOHandler(nullptr), FInput(std::move(AInput)), FPiece(APiece) {}

  bool IsOpen() override { return FOpen; }
  void CloseIO() override { FOpen = false; }
  bool AwaitReadable(int32_t) override {
    if (!FOpen) throw EIdConnClosedGracefully();
    return true;
  }
  int32_t ReceiveBytes(void* ABuffer, int32_t ALength) override {
    if (!FOpen) throw EIdClosedSocket();
    const size_t N = std::min({FInput.size() - FRead, size_t(ALength), size_t(FPiece)});
    FInput.copy(static_cast<char*>(ABuffer), N, FRead);
    FRead += N;
    return static_cast<int32_t>(N);
  }
  int32_t SendBytes(const void*, int32_t ALength) override { return ALength; }

private:
  std::string FInput;
  size_t FRead = 0;
  int32_t FPiece;
  bool FOpen = true;
};

struct TSetUp {
  int32_t Piece;
  int32_t MaxLength;
  TIdMaxLineAction Action;
  std::string Terminator;
  bool Filter;
  bool Replies;
};

TSetUp ReadSetUp(const uint8_t* AData) {
  TSetUp S;
  S.Piece = 1 + AData[0] % 64;
  S.MaxLength = AData[1] % 40; // 0: unlimited
  S.Action = (AData[2] & 1) ? TIdMaxLineAction::maSplit : TIdMaxLineAction::maException;
  S.Terminator = (AData[2] & 2) ? "\r\n" : "";
  S.Filter = (AData[2] & 4) != 0;
  S.Replies = (AData[3] & 1) != 0;
  return S;
}

void Check(bool ACondition) {
  if (!ACondition) std::abort();
}

void ReadLines(TIdTCPConnection& C, const TSetUp& S) {
  for (;;) {
    const std::string Line = C.ReadLine(S.Terminator);
    if (S.Terminator.empty()) Check(Line.find('\n') == std::string::npos);
    if (S.MaxLength != 0) Check(Line.size() <= size_t(S.MaxLength));
    if (S.Filter) Check(std::none_of(Line.begin(), Line.end(), [](char Ch) { return Ch & 0x80; }));
  }
}

void ReadReplies(TIdTCPConnection& C) {
  for (;;) {
    C.ReadReplyLines();
    Check(C.LastReply().Text().Count() >= 1);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (ASize < 4) return 0;
  const TSetUp S = ReadSetUp(AData);
  const std::string Input(reinterpret_cast<const char*>(AData) + 4, ASize - 4);
  TIdTCPConnection C(nullptr);
  C.SetIOHandler(std::make_unique<TStreamTransport>(Input, S.Piece));
  C.SetRecvBufferSize(S.Piece);
  C.SetMaxLineLength(S.MaxLength);
  C.SetMaxLineAction(S.Action);
  C.SetASCIIFilter(S.Filter);
  int64_t Consumed = 0;
  C.OnWork = [&](TComponent*, TWorkMode, int32_t ATotal) { Consumed = ATotal; };
  C.NotifyWorkBegin(TWorkMode::wkRead, 0);
  try {
    if (S.Replies) ReadReplies(C);
    else ReadLines(C, S);
  } catch (const EIdConnClosedGracefully&) {
  } catch (const EIdReadLnMaxLineLengthExceeded&) {
  } catch (const EIdNotConnected&) {
  }
  Check(Consumed <= int64_t(Input.size()));
  C.NotifyWorkEnd(TWorkMode::wkRead);
  return 0;
}
