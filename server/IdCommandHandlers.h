// SPDX-License-Identifier: MIT
// Command handlers: a server's answers to a line protocol. Each handler names one command word;
// a line starting with it becomes a TIdCommand with its parameters, the handler's OnCommand runs
// and the normal reply, an exception reply and a text block are sent.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "idframework/core/IdRFCReply.h"
#include "idframework/runtime/Collection.h"
#include "idframework/runtime/Export.h"
#include "idframework/runtime/StringList.h"

namespace Id {

class Exception;
class TIdCommand;
class TIdCommandHandler;
class TIdPeerThread;
class TIdTCPServer;

/// The application's code for one command. Runs on the peer thread of the connection.
using TIdCommandEvent = std::function<void(TIdCommand& ASender)>;

/// One received line matched by a handler; lives while the line is handled.
class ID_API TIdCommand {
public:
  /// AHandler is the matching handler (not owned). CommandReply starts empty, ReplyPending false.
  explicit TIdCommand(TIdCommandHandler* AHandler);
  virtual ~TIdCommand();
  TIdCommand(const TIdCommand&) = delete;
  TIdCommand& operator=(const TIdCommand&) = delete;

  /// Fires the handler's OnCommand with this command, if it is set.
  virtual void RunCommand();
  /// Sends CommandReply now (its text taken from the server's ReplyTexts when it has none) and
  /// clears ReplyPending, so the automatic reply is not sent again. Nothing is sent for a reply
  /// without content. Peer thread; raises what the connection raises.
  void SendCommandReply();

  /// The handler that matched; not owned.
  TIdCommandHandler* OwnerHandler() const noexcept { return FOwnerHandler; }
  /// The parameters split from ParamText (when the handler parses them); each line's number is
  /// the field's 1-based column in ParamText.
  TStringList& ParamList() noexcept { return FParamList; }
  /// True until the reply is sent, automatically after OnCommand or by SendCommandReply.
  bool ReplyPending() const noexcept { return FReplyPending; }
  void SetReplyPending(bool AValue) noexcept { FReplyPending = AValue; }
  /// The whole line as read.
  const std::string& ReceivedLine() const noexcept { return FReceivedLine; }
  void SetReceivedLine(const std::string& AValue) { FReceivedLine = AValue; }
  /// The reply sent for this command; starts as a copy of the handler's ReplyNormal. Owned.
  TIdRFCReply& CommandReply() noexcept { return FCommandReply; }
  /// A text block sent after the reply (dot-terminated) when it has lines; else the handler's
  /// Response is sent.
  TStringList& ResponseLines() noexcept { return FResponseLines; }
  /// The peer thread the line came from; not owned.
  TIdPeerThread* SourceThread() const noexcept { return FSourceThread; }
  void SetSourceThread(TIdPeerThread* AValue) noexcept { FSourceThread = AValue; }
  /// The line after the command word and its delimiter.
  const std::string& ParamText() const noexcept { return FParamText; }
  void SetParamText(std::string AValue) { FParamText = std::move(AValue); }

private:
  TIdCommandHandler* FOwnerHandler; // not owned
  TStringList FParamList;
  bool FReplyPending = false;
  std::string FReceivedLine;
  TIdRFCReply FCommandReply;
  TStringList FResponseLines;
  TIdPeerThread* FSourceThread = nullptr; // not owned
  std::string FParamText;
};

/// One command word of a server's CommandHandlers. Read by many peer threads at once while the
/// server is active; the application must not change it then.
///
/// \see The guide: \ref guide-commands, \ref guide-behaviours.
class ID_API TIdCommandHandler : public TCollectionItem {
public:
  /// Defaults: CmdDelimiter and ParamDelimiter blank, Enabled and ParseParams true, ReplyNormal
  /// code 0 without text, Name "TIdCommandHandler" followed by the item ID.
  explicit TIdCommandHandler(TCollection* ACollection);
  ~TIdCommandHandler() override;

  /// Handles AData when it starts with Command (ignoring case): builds the command, splits its
  /// parameters, runs OnCommand and sends the replies; closes the connection afterwards when
  /// Disconnect is set. Returns false without doing anything when the line does not match.
  /// Peer thread; exceptions of OnCommand without an exception reply code, and connection
  /// failures, propagate.
  virtual bool TryHandleLine(const std::string& AData, TIdPeerThread& AThread);

  /// Command when set, else Name.
  std::string DisplayName() const override;
  /// Sets Name.
  void SetDisplayName(const std::string& AName) override;
  /// The owner component's name, ".", and Name; only Name outside a collection with an owner.
  std::string NamePath() const;

  /// The character that must follow the command word when the line is longer; '\0': none.
  char CmdDelimiter() const noexcept { return FCmdDelimiter; }
  void SetCmdDelimiter(char AValue) noexcept { FCmdDelimiter = AValue; }
  /// The command word, compared ignoring case.
  const std::string& Command() const noexcept { return FCommand; }
  void SetCommand(const std::string& AValue) { FCommand = AValue; }
  /// Close the connection after handling the command. Default false.
  bool Disconnect() const noexcept { return FDisconnect; }
  void SetDisconnect(bool AValue) noexcept { FDisconnect = AValue; }
  /// A disabled handler is skipped. Default true.
  bool Enabled() const noexcept { return FEnabled; }
  void SetEnabled(bool AValue) noexcept { FEnabled = AValue; }
  /// The handler's name; by default "TIdCommandHandler" followed by the collection item ID.
  std::string Name() const;
  void SetName(const std::string& AValue);
  /// Separator of the parameters. Default blank.
  char ParamDelimiter() const noexcept { return FParamDelimiter; }
  void SetParamDelimiter(char AValue) noexcept { FParamDelimiter = AValue; }
  /// Split the parameters into ParamList. Default true.
  bool ParseParams() const noexcept { return FParseParams; }
  void SetParseParams(bool AValue) noexcept { FParseParams = AValue; }
  /// Code of the reply sent when OnCommand raises; 0 or below defers to the server's.
  int32_t ReplyExceptionCode() const noexcept { return FReplyExceptionCode; }
  void SetReplyExceptionCode(int32_t AValue) noexcept { FReplyExceptionCode = AValue; }
  /// The reply sent after a successful command. Owned.
  TIdRFCReply& ReplyNormal() noexcept { return *FReplyNormal; }
  const TIdRFCReply& ReplyNormal() const noexcept { return *FReplyNormal; }
  /// The default text block sent after the reply. Owned; the setter copies the lines.
  const TStringList& Response() const noexcept { return FResponse; }
  TStringList& Response() noexcept { return FResponse; }
  void SetResponse(const TStringList& AValue) { FResponse.Assign(AValue); }
  /// Free for the application.
  intptr_t Tag() const noexcept { return FTag; }
  void SetTag(intptr_t AValue) noexcept { FTag = AValue; }

  /// The application's code for the command. Runs on the peer thread.
  TIdCommandEvent OnCommand;

private:
  bool Matches(const std::string& AData, std::string& AParamText) const;
  void ParseParamsInto(TIdCommand& ACommand) const;
  void RunAndReply(TIdCommand& ACommand, TIdTCPServer* AServer);
  bool ReplyToException(TIdCommand& ACommand, TIdTCPServer* AServer, const Exception& AException);
  void SendResponse(TIdCommand& ACommand);

  char FCmdDelimiter = ' ';
  std::string FCommand;
  bool FDisconnect = false;
  bool FEnabled = true;
  bool FNameSet = false; // false: Name is the default, built from the item ID
  std::string FName;
  char FParamDelimiter = ' ';
  bool FParseParams = true;
  int32_t FReplyExceptionCode = 0;
  std::unique_ptr<TIdRFCReply> FReplyNormal; // owned
  TStringList FResponse;
  intptr_t FTag = 0;
};

/// The CommandHandlers collection of a server; owned by the server, whose ReplyTexts and
/// ReplyExceptionCode the handlers use, and the dispatch of received lines to them.
class ID_API TIdCommandHandlers : public TOwnedCollectionOf<TIdCommandHandler> {
public:
  /// AServer owns the collection; nullptr makes a collection without a server.
  explicit TIdCommandHandlers(TIdTCPServer* AServer);

  /// The server the collection belongs to; not owned.
  TIdTCPServer* Server() const noexcept { return FServer; }

  /// The server's execute step on the command path: while AThread's connection is connected,
  /// reads one line (LF, the connection's default time limit and line length) and dispatches it
  /// unless it is empty. Peer thread; raises what the reading and the handlers raise.
  void HandleNextLine(TIdPeerThread& AThread);
  /// The server's OnBeforeCommandHandler, the first enabled handler that takes AData (else the
  /// unknown-command path: the server's OnNoCommandHandler, else its ReplyUnknownCommand, else
  /// EIdTCPServerError "No command handler found."), then OnAfterCommandHandler, also after an
  /// exception. Peer thread.
  void DispatchLine(const std::string& AData, TIdPeerThread& AThread);

private:
  void HandleUnknownCommand(const std::string& AData, TIdPeerThread& AThread);

  TIdTCPServer* FServer; // not owned
};

} // namespace Id
