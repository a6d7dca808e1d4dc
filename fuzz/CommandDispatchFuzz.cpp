// SPDX-License-Identifier: MIT
// Fuzz target: a server's command dispatch. Received lines, in pieces of fuzzer-chosen sizes,
// go through the server's execute step (read a line, match it against the command handlers,
// run the command, reply) on a connection as a peer thread would serve it.
//
// Input: a receive-size schedule (see TChunkSchedule), one set-up byte, then the client's bytes.
//   bit 0: the server has an exception reply code (550); bit 1: unknown commands get a reply;
//   bit 2: OnNoCommandHandler answers them instead (without either the step raises); bit 3:
//   maSplit; bits 4-5: the maximum line length (0 unlimited, 8, 20, 64).
//
// Every reply must equal what a plain model of the handler set expects for each line, the
// handlers must see their parameters split as documented, and the before and after events must
// pair up.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/runtime/SysUtils.h"
#include "idframework/server/IdCommandHandlers.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdTCPServer.h"

namespace {

using namespace Id;
using IdFuzz::Check;

constexpr int32_t ExceptionCode = 550;

struct TSetUp {
  bool ExceptionReply;
  bool UnknownReply;
  bool UnknownEvent;
  bool Split;
  int32_t MaxLength;
};

TSetUp ReadSetUp(IdFuzz::TFuzzInput& AInput) {
  static const int32_t MaxLengths[] = {0, 8, 20, 64};
  const uint8_t Flags = AInput.Byte();
  return TSetUp{AInput.Bit(Flags, 0), AInput.Bit(Flags, 1), AInput.Bit(Flags, 2),
                AInput.Bit(Flags, 3), MaxLengths[(Flags >> 4) & 3]};
}

bool IsBlank(char C) {
  return static_cast<unsigned char>(C) <= 32;
}

// The column contract of both splitters: every field is where its number says in AText, holds no
// delimiter, and the columns grow.
void CheckFields(const TIdCommand& ACommand, const TStringList& AFields, char ADelimiter,
                 bool ATrimmed) {
  const std::string& Text = ACommand.ParamText();
  int32_t LastColumn = 0;
  for (int I = 0; I < AFields.Count(); ++I) {
    const std::string& Field = AFields[I];
    const int32_t Column = static_cast<int32_t>(AFields.Objects(I));
    Check(Column > LastColumn && Column <= int32_t(Text.size()), "a field column is out of order");
    LastColumn = Column;
    Check(Field.find(ADelimiter) == std::string::npos, "a field holds its delimiter");
    size_t At = size_t(Column) - 1;
    if (ATrimmed) {
      Check(Field == Trim(Field), "a trimmed field has blanks at an end");
      while (At < Text.size() && IsBlank(Text[At]) && Text[At] != ADelimiter)
        ++At;
    } else {
      Check(!Field.empty(), "an empty field was kept");
    }
    Check(Text.compare(At, Field.size(), Field) == 0, "a field is not at its column");
  }
}

/// The server, its handlers and one halted peer thread, made once: a peer thread is a real
/// platform thread, parked for the whole run.
struct TFixture {
  TIdTCPServer Server{nullptr};
  TIdPeerThread Thread{true};
  int32_t Before = 0;
  int32_t After = 0;
  std::string LastDispatched;

  TFixture() {
    Server.Greeting().SetCodeAndText(220, "Ready");
    TIdRFCReply* ListText = dynamic_cast<TIdRFCReply*>(Server.ReplyTexts().Add());
    ListText->SetCodeAndText(211, "List follows");
    AddHandlers();
    Server.OnBeforeCommandHandler = [this](TIdTCPServer&, const std::string& AData,
                                           TIdPeerThread&) {
      ++Before;
      LastDispatched = AData;
    };
    Server.OnAfterCommandHandler = [this](TIdTCPServer&, TIdPeerThread&) { ++After; };
  }

  TIdCommandHandler& Add(const std::string& ACommand) {
    TIdCommandHandler* H = Server.CommandHandlers().Add();
    H->SetCommand(ACommand);
    return *H;
  }

  void AddHandlers() {
    TIdCommandHandler& Helo = Add("HELO");
    Helo.ReplyNormal().SetCodeAndText(250, "Hello");
    Helo.OnCommand = [](TIdCommand& C) {
      CheckFields(C, C.ParamList(), ' ', false);
      C.ResponseLines().Assign(C.ParamList());
    };
    TIdCommandHandler& List = Add("LIST");
    List.SetParamDelimiter(',');
    List.ReplyNormal().SetNumericCode(211);
    List.SetResponse(TStringList{"one", ".", "three"});
    List.OnCommand = [](TIdCommand& C) { CheckFields(C, C.ParamList(), ',', true); };
    Add("FAIL").OnCommand = [](TIdCommand&) { throw EIdException("bad\r\nthing"); };
    TIdCommandHandler& Quit = Add("QUIT");
    Quit.ReplyNormal().SetCodeAndText(221, "Bye");
    Quit.SetDisconnect(true);
    TIdCommandHandler& Set = Add("SET");
    Set.SetCmdDelimiter('=');
    Set.SetParseParams(false);
    Set.OnCommand = [](TIdCommand& C) {
      Check(C.ParamList().Count() == 0, "parameters split although ParseParams is false");
      C.CommandReply().SetCodeAndText(200, "[" + C.ParamText() + "]");
      C.SendCommandReply();
    };
    TIdCommandHandler& Off = Add("OFF");
    Off.ReplyNormal().SetCodeAndText(999, "disabled");
    Off.SetEnabled(false);
    // Any line starting with X; a reply without content sends nothing.
    Add("X").SetCmdDelimiter('\0');
  }
};

/// What the dispatcher must send for one line; nullopt when it must raise.
struct TExpected {
  std::optional<std::string> Output;
  bool Closes = false;
};

bool StartsWithText(const std::string& AText, const std::string& APrefix) {
  return AText.size() >= APrefix.size() && SameText(AText.substr(0, APrefix.size()), APrefix);
}

bool MatchesWord(const std::string& ALine, const std::string& AWord, char ADelimiter,
                 std::string& AParams) {
  if (SameText(ALine, AWord)) return true;
  if (!StartsWithText(ALine, AWord + ADelimiter)) return false;
  AParams = ALine.substr(AWord.size() + 1);
  return true;
}

std::string DotLines(const std::vector<std::string>& ALines) {
  std::string Out;
  for (const auto& Line : ALines)
    Out += (Line == "." ? ".." : Line) + "\r\n";
  return Out + ".\r\n";
}

std::string FormattedReply(int32_t ACode, const std::string& AText) {
  TIdRFCReply Reply;
  Reply.SetCodeAndText(ACode, AText);
  return Reply.FormatReply();
}

TExpected Expect(const std::string& ALine, const TSetUp& S) {
  std::string Params;
  if (MatchesWord(ALine, "HELO", ' ', Params)) {
    std::vector<std::string> Fields;
    size_t At = 0;
    while (At <= Params.size()) {
      const size_t Space = std::min(Params.find(' ', At), Params.size());
      if (Space > At) Fields.push_back(Params.substr(At, Space - At));
      At = Space + 1;
    }
    return {"250 Hello\r\n" + (Fields.empty() ? std::string() : DotLines(Fields))};
  }
  if (MatchesWord(ALine, "LIST", ' ', Params))
    return {"211 List follows\r\n" + DotLines({"one", ".", "three"})};
  if (MatchesWord(ALine, "FAIL", ' ', Params)) {
    if (!S.ExceptionReply) return {std::nullopt};
    return {FormattedReply(ExceptionCode, "bad\r\nthing")};
  }
  if (MatchesWord(ALine, "QUIT", ' ', Params)) return {"221 Bye\r\n", true};
  if (MatchesWord(ALine, "SET", '=', Params)) return {FormattedReply(200, "[" + Params + "]")};
  if (StartsWithText(ALine, "X")) return {std::string()};
  if (S.UnknownEvent) return {"? " + ALine + "\r\n"};
  if (S.UnknownReply) return {"500 Unknown\r\n"};
  return {std::nullopt};
}

void Configure(TFixture& F, const TSetUp& S) {
  F.Server.SetReplyExceptionCode(S.ExceptionReply ? ExceptionCode : 0);
  if (S.UnknownReply)
    F.Server.ReplyUnknownCommand().SetCodeAndText(500, "Unknown");
  else
    F.Server.ReplyUnknownCommand().ResetReply();
  F.Server.OnNoCommandHandler = nullptr;
  if (S.UnknownEvent)
    F.Server.OnNoCommandHandler = [](TIdTCPServer&, const std::string& AData,
                                     TIdPeerThread& AThread) {
      AThread.PeerConnection()->WriteLine("? " + AData);
    };
  F.Before = F.After = 0;
}

// One execute step after another, as the peer thread runs them, each compared with the model.
void Serve(TFixture& F, TIdTCPServerConnection& AConnection, IdFuzz::TMemoryTransport& ATransport,
           const TSetUp& S, IdFuzz::TLineModel& AModel) {
  F.Server.HandleConnect(F.Thread);
  Check(ATransport.Sent() == "220 Ready\r\n", "the greeting differs");
  for (;;) {
    std::optional<std::string> Line;
    do
      Line = AModel.NextLine();
    while (Line && Line->empty());
    const TExpected Expected = Line ? Expect(*Line, S) : TExpected{std::nullopt};
    const size_t SentBefore = ATransport.Sent().size();
    const int32_t DispatchedBefore = F.Before;
    try {
      // Empty lines make steps without a dispatch; a closed connection makes steps that read
      // nothing, where the peer thread would stop.
      while (F.Before == DispatchedBefore) {
        if (!AConnection.IsConnected()) throw EIdNotConnected();
        F.Server.HandleExecute(F.Thread);
      }
    } catch (const Exception&) {
      Check(!Expected.Output, "a step raised where the model has a reply");
      Check(ATransport.Sent().size() == SentBefore, "a raising step sent something");
      break;
    }
    Check(Line.has_value(), "a line was dispatched where the model has none");
    Check(F.LastDispatched == *Line, "the dispatched line differs from the model's");
    Check(Expected.Output.has_value(), "a step succeeded where the model raises");
    Check(ATransport.Sent().substr(SentBefore) == *Expected.Output, "a reply differs");
    Check(AConnection.IsConnected() != Expected.Closes, "the connection state differs");
    if (Expected.Closes) break;
  }
  Check(F.Before == F.After, "before and after command events do not pair up");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  // One for the process. Destroyed at exit before the register of live threads, which waits
  // for its parked thread to end.
  static TFixture Fixture;
  IdFuzz::TFuzzInput Input(AData, ASize);
  IdFuzz::TChunkSchedule Schedule = IdFuzz::TChunkSchedule::Read(Input);
  const TSetUp S = ReadSetUp(Input);
  const std::string Payload = Input.Rest();
  Configure(Fixture, S);

  IdFuzz::TMemoryTransport Transport(Payload, Schedule);
  auto Connection = std::make_unique<TIdTCPServerConnection>(&Fixture.Server);
  TIdTCPServerConnection& C = *Connection;
  C.SetIOHandler(&Transport);
  C.SetMaxLineLength(S.MaxLength);
  C.SetMaxLineAction(S.Split ? TIdMaxLineAction::maSplit : TIdMaxLineAction::maException);
  Fixture.Thread.SetPeerConnection(std::move(Connection));
  IdFuzz::TLineModel Model(Payload, "\n", static_cast<size_t>(S.MaxLength), S.Split);
  Serve(Fixture, C, Transport, S, Model);
  Fixture.Thread.SetPeerConnection(nullptr);
  return 0;
}
