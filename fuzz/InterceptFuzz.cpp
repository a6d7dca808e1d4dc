// SPDX-License-Identifier: MIT
// Fuzz target: the intercept chain of a connection. Bytes received in pieces of fuzzer-chosen
// sizes pass through one to three links that observe, rewrite, shrink (to nothing) or grow each
// block, then through the ASCII filter into the input buffer; bytes written pass the same links
// outward.
//
// Input: a receive-size schedule (see TChunkSchedule), one set-up byte, two bytes per link, the
// length of the part that is written, that part, then the peer's bytes.
//   set-up: bits 0-1 the number of links (1 to 3), bit 2 ASCII filter, bit 3 read lines
//           (else everything until the close), bits 4-7 the receive block size (1 to 16).
//   link:   its action (% 8: observe, flip bits, drop a byte value, double every byte, none),
//           then the action's argument.
//
// Each action works byte by byte, so what the application reads must equal the actions applied
// to the whole stream, whatever the pieces; each observer must have seen exactly the bytes at
// its place in the chain.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "idframework/connection/IdIntercept.h"
#include "idframework/connection/IdTCPConnection.h"
#include "idframework/core/IdException.h"

namespace {

using namespace Id;
using IdFuzz::Check;

enum class TAction : uint8_t { acObserve, acFlip, acDrop, acDouble, acNone };

std::string Apply(TAction AAction, uint8_t AArgument, const std::string& ABytes) {
  std::string Out;
  switch (AAction) {
  case TAction::acFlip:
    for (char C : ABytes)
      Out += static_cast<char>(C ^ static_cast<char>(AArgument | 1));
    return Out;
  case TAction::acDrop:
    for (char C : ABytes)
      if (static_cast<uint8_t>(C) != AArgument) Out += C;
    return Out;
  case TAction::acDouble:
    for (char C : ABytes)
      Out.append(2, C);
    return Out;
  default:
    return ABytes;
  }
}

std::string StreamBytes(TStream& AStream) {
  std::string Bytes(static_cast<size_t>(AStream.Size()), '\0');
  AStream.SetPosition(0);
  if (!Bytes.empty()) AStream.ReadBuffer(Bytes.data(), static_cast<int32_t>(Bytes.size()));
  return Bytes;
}

void ReplaceStream(TStream& AStream, const std::string& ABytes) {
  AStream.SetSize(static_cast<int64_t>(ABytes.size()));
  AStream.SetPosition(0);
  if (!ABytes.empty()) AStream.WriteBuffer(ABytes.data(), static_cast<int32_t>(ABytes.size()));
  // Left at the end on purpose: the link repositions the stream for the next one.
}

/// One link: the same action on both directions, and what it saw of each.
struct TLink {
  TIdConnectionIntercept Intercept{nullptr};
  TAction Action;
  uint8_t Argument;
  std::string SeenReceived;
  std::string SeenSent;

  TLink(TAction AAction, uint8_t AArgument) : Action(AAction), Argument(AArgument) {
    if (Action == TAction::acNone) return;
    Intercept.OnReceive = [this](TIdConnectionIntercept*, TStream& AStream) {
      Handle(AStream, SeenReceived);
    };
    Intercept.OnSend = [this](TIdConnectionIntercept*, TStream& AStream) {
      Handle(AStream, SeenSent);
    };
  }

  void Handle(TStream& AStream, std::string& ASeen) {
    Check(AStream.Position() == 0, "a link was handed a stream not at its start");
    const std::string Bytes = StreamBytes(AStream);
    ASeen += Bytes;
    if (Action != TAction::acObserve) ReplaceStream(AStream, Apply(Action, Argument, Bytes));
  }
};

struct TSetUp {
  int LinkCount;
  bool Filter;
  bool Lines;
  int32_t BlockSize;
};

// Links[0] is the outermost (nearest the application), the last one nearest the wire.
std::vector<std::unique_ptr<TLink>> MakeChain(IdFuzz::TFuzzInput& AInput, int ACount) {
  std::vector<std::unique_ptr<TLink>> Links;
  for (int I = 0; I < ACount; ++I) {
    const uint8_t B = AInput.Byte();
    const auto Action = static_cast<TAction>(std::min<uint8_t>(B % 8, uint8_t(TAction::acNone)));
    Links.push_back(std::make_unique<TLink>(Action, AInput.Byte()));
  }
  for (size_t I = 0; I + 1 < Links.size(); ++I)
    Links[I]->Intercept.SetNestedIntercept(&Links[I + 1]->Intercept);
  return Links;
}

/// Inward: the wire's link first. Each observer's expected view is checked on the way.
std::string ExpectReceived(const std::vector<std::unique_ptr<TLink>>& ALinks, std::string ABytes,
                           bool AFilter) {
  for (auto It = ALinks.rbegin(); It != ALinks.rend(); ++It) {
    if ((*It)->Action != TAction::acNone)
      Check((*It)->SeenReceived == ABytes, "a link saw other received bytes");
    ABytes = Apply((*It)->Action, (*It)->Argument, ABytes);
  }
  if (AFilter)
    for (char& C : ABytes)
      C = static_cast<char>(C & 0x7F);
  return ABytes;
}

/// Outward: the application's link first.
std::string ExpectSent(const std::vector<std::unique_ptr<TLink>>& ALinks, std::string ABytes) {
  for (const auto& Link : ALinks) {
    if (Link->Action != TAction::acNone)
      Check(Link->SeenSent == ABytes, "a link saw other sent bytes");
    ABytes = Apply(Link->Action, Link->Argument, ABytes);
  }
  return ABytes;
}

std::string ReadEverything(TIdTCPConnection& C, bool ALines, std::string& AUnread) {
  if (!ALines) return C.ReadUntilClosed();
  std::string Joined;
  try {
    for (;;)
      Joined += C.ReadLine() + "\n";
  } catch (const EIdConnClosedGracefully&) {
  }
  AUnread = C.ReadAvailable();
  return Joined;
}

// The lines an LF reader returns, each followed by LF, and the unterminated rest.
std::string ModelLines(const std::string& AStream, std::string& ARest) {
  IdFuzz::TLineModel Model(AStream, "\n", 0, false);
  std::string Joined;
  size_t Used = 0;
  while (std::optional<std::string> Line = Model.NextLine()) {
    Joined += *Line + "\n";
    Used = AStream.find('\n', Used) + 1;
  }
  ARest = AStream.substr(Used);
  return Joined;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  IdFuzz::TFuzzInput Input(AData, ASize);
  IdFuzz::TChunkSchedule Schedule = IdFuzz::TChunkSchedule::Read(Input);
  const uint8_t Flags = Input.Byte();
  const TSetUp S{1 + Flags % 3, Input.Bit(Flags, 2), Input.Bit(Flags, 3), 1 + (Flags >> 4)};
  std::vector<std::unique_ptr<TLink>> Links = MakeChain(Input, S.LinkCount);
  const std::string Written = Input.Take(Input.Byte());
  const std::string Payload = Input.Rest();

  IdFuzz::TMemoryTransport Transport(Payload, Schedule);
  {
    TIdTCPConnection C(nullptr);
    C.SetIOHandler(&Transport);
    C.SetRecvBufferSize(S.BlockSize);
    C.SetMaxLineLength(0);
    C.SetASCIIFilter(S.Filter);
    C.SetIntercept(&Links[0]->Intercept);
    Links[0]->Intercept.InterceptConnect(&C);
    for (const auto& Link : Links)
      Check(Link->Intercept.AttachedConnection() == &C, "a link was not attached");

    if (!Written.empty()) C.WriteBytes(Written.data(), static_cast<int32_t>(Written.size()));
    Check(Transport.Sent() == ExpectSent(Links, Written), "the sent bytes differ");

    std::string Unread;
    const std::string Read = ReadEverything(C, S.Lines, Unread);
    const std::string Expected = ExpectReceived(Links, Payload, S.Filter);
    if (S.Lines) {
      std::string Rest;
      Check(Read == ModelLines(Expected, Rest), "the lines read differ");
      Check(Unread == Rest, "the unterminated rest differs");
    } else {
      Check(Read == Expected, "the bytes read differ");
    }
    C.CloseConnection();
    for (const auto& Link : Links)
      Check(Link->Intercept.AttachedConnection() == nullptr, "a link stayed attached");
  }
  return 0;
}
