// SPDX-License-Identifier: MIT
#include "idframework/server/IdCommandHandlers.h"

#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/core/IdStrings.h"
#include "idframework/runtime/Component.h"
#include "idframework/runtime/CriticalSection.h"
#include "idframework/runtime/ScopeExit.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdTCPServer.h"

namespace Id {

namespace {

constexpr const char* CommandHandlerClassName = "TIdCommandHandler";

TIdTCPServer* ServerOf(const TIdPeerThread* AThread) {
  if (!AThread || !AThread->PeerConnection()) return nullptr;
  return AThread->PeerConnection()->Server();
}

// AText starts with APrefix, ignoring case.
bool StartsWithText(const std::string& AText, const std::string& APrefix) {
  return AText.size() >= APrefix.size() &&
         SameText(std::string_view(AText).substr(0, APrefix.size()), APrefix);
}

} // namespace

// TIdCommand ---------------------------------------------------------------------------------

TIdCommand::TIdCommand(TIdCommandHandler* AHandler) : FOwnerHandler(AHandler) {}

TIdCommand::~TIdCommand() = default;

void TIdCommand::RunCommand() {
  if (!FOwnerHandler || !FOwnerHandler->OnCommand) return;
  AssertNoLockHeld("OnCommand");
  FOwnerHandler->OnCommand(*this);
}

void TIdCommand::SendCommandReply() {
  FReplyPending = false;
  if (TIdTCPServer* Server = ServerOf(FSourceThread))
    Server->ReplyTexts().UpdateReplyText(FCommandReply);
  if (FSourceThread && FSourceThread->PeerConnection())
    FSourceThread->PeerConnection()->WriteReply(FCommandReply);
}

// TIdCommandHandler --------------------------------------------------------------------------

TIdCommandHandler::TIdCommandHandler(TCollection* ACollection)
    : TCollectionItem(ACollection), FReplyNormal(std::make_unique<TIdRFCReply>()) {}

TIdCommandHandler::~TIdCommandHandler() = default;

std::string TIdCommandHandler::Name() const {
  // The item ID is given after construction, so the default name is built when asked for.
  if (FNameSet) return FName;
  return std::string(CommandHandlerClassName) + IntToStr(ID());
}

void TIdCommandHandler::SetName(const std::string& AValue) {
  FName = AValue;
  FNameSet = true;
}

std::string TIdCommandHandler::DisplayName() const {
  return FCommand.empty() ? Name() : FCommand;
}

void TIdCommandHandler::SetDisplayName(const std::string& AName) {
  SetName(AName);
  TCollectionItem::SetDisplayName(AName);
}

std::string TIdCommandHandler::NamePath() const {
  TComponent* Owner = Collection() ? Collection()->Owner() : nullptr;
  if (!Owner) return Name();
  return Owner->Name() + "." + Name();
}

bool TIdCommandHandler::Matches(const std::string& AData, std::string& AParamText) const {
  const size_t Length = FCommand.size();
  if (SameText(AData, FCommand)) {
    AParamText.clear();
    return true;
  }
  if (FCmdDelimiter != '\0') {
    if (!StartsWithText(AData, FCommand + FCmdDelimiter)) return false;
    AParamText = AData.substr(Length + 1);
    return true;
  }
  if (!StartsWithText(AData, FCommand)) return false;
  AParamText = AData.substr(Length);
  return true;
}

void TIdCommandHandler::ParseParamsInto(TIdCommand& ACommand) const {
  if (!FParseParams) return;
  if (FParamDelimiter == ' ')
    SplitFields(ACommand.ParamText(), &ACommand.ParamList(), " ");
  else
    SplitFieldsTrimmed(ACommand.ParamText(), &ACommand.ParamList(),
                       std::string(1, FParamDelimiter));
}

bool TIdCommandHandler::TryHandleLine(const std::string& AData, TIdPeerThread& AThread) {
  std::string ParamText;
  if (!Matches(AData, ParamText)) return false;
  TIdCommand Command(this);
  Command.SetReceivedLine(AData);
  Command.SetSourceThread(&AThread);
  Command.SetParamText(std::move(ParamText));
  TIdTCPServerConnection* Connection = AThread.PeerConnection();
  // Disconnect is honoured on the failure path too.
  TScopeExit Close([&] {
    if (FDisconnect && Connection) Connection->CloseConnection();
  });
  ParseParamsInto(Command);
  Command.SetReplyPending(true);
  Command.CommandReply().Assign(*FReplyNormal);
  RunAndReply(Command, ServerOf(&AThread));
  return true;
}

void TIdCommandHandler::RunAndReply(TIdCommand& ACommand, TIdTCPServer* AServer) {
  try {
    ACommand.RunCommand();
  } catch (const Exception& E) {
    if (!ReplyToException(ACommand, AServer, E)) throw;
    return;
  } catch (const std::exception& E) {
    // What ordinary C++ raises (std::stoi on a bad number, say) is answered the same way.
    if (!ReplyToException(ACommand, AServer, Exception(E.what()))) throw;
    return;
  }
  if (ACommand.ReplyPending()) ACommand.SendCommandReply();
  SendResponse(ACommand);
}

// The exception reply (handler's code, else the server's) when one is configured and nothing
// has been replied yet; false leaves the exception to the caller.
bool TIdCommandHandler::ReplyToException(TIdCommand& ACommand, TIdTCPServer* AServer,
                                         const Exception& AException) {
  if (!ACommand.ReplyPending()) return false;
  int32_t Code = FReplyExceptionCode;
  if (Code <= 0 && AServer) Code = AServer->ReplyExceptionCode();
  if (Code <= 0) return false;
  ACommand.CommandReply().SetCodeAndText(Code, AException.Message());
  ACommand.SendCommandReply();
  return true;
}

void TIdCommandHandler::SendResponse(TIdCommand& ACommand) {
  TIdTCPServerConnection* Connection =
      ACommand.SourceThread() ? ACommand.SourceThread()->PeerConnection() : nullptr;
  if (!Connection) return;
  if (ACommand.ResponseLines().Count() > 0)
    Connection->WriteDotTerminatedLines(ACommand.ResponseLines());
  else if (FResponse.Count() > 0)
    Connection->WriteDotTerminatedLines(FResponse);
}

// TIdCommandHandlers -------------------------------------------------------------------------

TIdCommandHandlers::TIdCommandHandlers(TIdTCPServer* AServer)
    : TOwnedCollectionOf<TIdCommandHandler>(AServer), FServer(AServer) {}

void TIdCommandHandlers::HandleNextLine(TIdPeerThread& AThread) {
  TIdTCPServerConnection* Connection = AThread.PeerConnection();
  if (!Connection || !Connection->IsConnected()) return;
  const std::string Line = Connection->ReadLine("\n", TIdTCPConnection::DefaultTimeout,
                                                TIdTCPConnection::DefaultMaxLength);
  if (!Line.empty()) DispatchLine(Line, AThread);
}

void TIdCommandHandlers::DispatchLine(const std::string& AData, TIdPeerThread& AThread) {
  if (FServer && FServer->OnBeforeCommandHandler) {
    AssertNoLockHeld("OnBeforeCommandHandler");
    FServer->OnBeforeCommandHandler(*FServer, AData, AThread);
  }
  TScopeExit After([&] {
    if (!FServer || !FServer->OnAfterCommandHandler) return;
    AssertNoLockHeld("OnAfterCommandHandler");
    FServer->OnAfterCommandHandler(*FServer, AThread);
  });
  for (int I = 0; I < Count(); ++I) {
    TIdCommandHandler* Handler = Items(I);
    if (Handler->Enabled() && Handler->TryHandleLine(AData, AThread)) return;
  }
  HandleUnknownCommand(AData, AThread);
}

void TIdCommandHandlers::HandleUnknownCommand(const std::string& AData, TIdPeerThread& AThread) {
  if (!FServer) throw EIdTCPServerError(RS::RSNoCommandHandlerFound);
  if (FServer->OnNoCommandHandler) {
    AssertNoLockHeld("OnNoCommandHandler");
    FServer->OnNoCommandHandler(*FServer, AData, AThread);
    return;
  }
  const TIdRFCReply& Reply = FServer->ReplyUnknownCommand();
  if (!Reply.HasContent()) throw EIdTCPServerError(RS::RSNoCommandHandlerFound);
  AThread.PeerConnection()->WriteReply(Reply);
}

} // namespace Id
