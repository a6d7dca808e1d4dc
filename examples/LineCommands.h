// The commands of the example line server: HELP, ECHO, ADD and QUIT on command handlers, shared
// by the plain and the TLS server.
#pragma once

#include <cstdint>
#include <string>

#include "core/IdException.h"
#include "core/IdRFCReply.h"
#include "server/IdCommandHandlers.h"
#include "server/IdTCPServer.h"

namespace Id::Examples {

/// Adds a command handler for AWord to AServer and returns it.
inline TIdCommandHandler* AddLineCommand(TIdTCPServer& AServer, const std::string& AWord) {
  TIdCommandHandler* Handler = AServer.CommandHandlers().Add();
  Handler->SetCommand(AWord);
  return Handler;
}

/// Installs HELP, ECHO, ADD and QUIT on AServer.
inline void InstallLineCommands(TIdTCPServer& AServer) {
  TIdCommandHandler* Help = AddLineCommand(AServer, "HELP");
  Help->ReplyNormal().SetCodeAndText(214, "Commands follow");
  for (const char* Line : {"HELP", "ECHO <text>", "ADD <a> <b>", "QUIT"})
    Help->Response().Add(Line);

  TIdCommandHandler* Echo = AddLineCommand(AServer, "ECHO");
  Echo->OnCommand = [](TIdCommand& ACommand) {
    ACommand.CommandReply().SetCodeAndText(250, ACommand.ParamText());
  };

  // A bad number raises; the handler's exception code turns that into a 501 reply.
  TIdCommandHandler* Add = AddLineCommand(AServer, "ADD");
  Add->SetReplyExceptionCode(501);
  Add->OnCommand = [](TIdCommand& ACommand) {
    if (ACommand.ParamList().Count() != 2) throw EIdException("ADD takes two numbers");
    const int64_t Sum =
        int64_t(StrToInt(ACommand.ParamList()[0])) + int64_t(StrToInt(ACommand.ParamList()[1]));
    ACommand.CommandReply().SetCodeAndText(250, IntToStr(Sum));
  };

  TIdCommandHandler* Quit = AddLineCommand(AServer, "QUIT");
  Quit->ReplyNormal().SetCodeAndText(221, "Bye");
  Quit->SetDisconnect(true);
}

} // namespace Id::Examples
