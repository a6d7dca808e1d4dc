// SPDX-License-Identifier: MIT
// What the plain and the TLS examples share: the line server's commands (HELP, ECHO, ADD and QUIT
// on command handlers), its set-up and its wait for a stop signal, and the client's command loop.
#pragma once

#include <pthread.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <idframework/connection/IdTCPConnection.h>
#include <idframework/core/IdException.h>
#include <idframework/core/IdRFCReply.h>
#include <idframework/net/IdSocketHandle.h>
#include <idframework/server/IdCommandHandlers.h>
#include <idframework/server/IdTCPServer.h>

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

/// Greets with 200, answers unknown lines with 500, installs the commands and binds AServer to
/// 127.0.0.1:APort (0: a port the system chooses). The server is activated by the caller.
inline TIdSocketHandle& PrepareLineServer(TIdTCPServer& AServer, int32_t APort) {
  AServer.Greeting().SetCodeAndText(200, "Line server ready");
  AServer.ReplyUnknownCommand().SetCodeAndText(500, "Unknown command");
  InstallLineCommands(AServer);
  TIdSocketHandle* Binding = AServer.Bindings().AddBinding();
  Binding->SetIP("127.0.0.1");
  Binding->SetPort(APort);
  return *Binding;
}

/// Blocks SIGINT and SIGTERM in this thread and in every thread it starts afterwards, so that only
/// ServeUntilStopSignal receives them. Call it before the server starts any thread.
inline sigset_t BlockStopSignals() {
  sigset_t Stop;
  sigemptyset(&Stop);
  sigaddset(&Stop, SIGINT);
  sigaddset(&Stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &Stop, nullptr);
  return Stop;
}

/// How long a stopping server lets its connected clients finish.
inline constexpr int32_t DrainTimeMs = 10000;

/// Waits for one of AStop's signals, then drains AServer: it stops accepting at once and lets
/// the connected clients finish for up to DrainTimeMs before it deactivates.
inline void ServeUntilStopSignal(TIdTCPServer& AServer, const sigset_t& AStop) {
  int Signal = 0;
  sigwait(&AStop, &Signal);
  AServer.Drain(DrainTimeMs);
}

/// Prints the reply the connection read last.
inline void PrintReply(TIdTCPConnection& AConnection) {
  std::fputs(AConnection.LastReply().FormatReply().c_str(), stdout);
}

/// Sends ACommand and prints the reply (and HELP's dot-terminated text block); false once the
/// server has said goodbye.
inline bool RunCommand(TIdTCPConnection& AConnection, const std::string& ACommand) {
  const int16_t Code = AConnection.SendCommand(ACommand, {});
  PrintReply(AConnection);
  if (Code == 214)
    for (std::string Line = AConnection.ReadLine(); Line != "."; Line = AConnection.ReadLine())
      std::printf("  %s\n", Line == ".." ? "." : Line.c_str());
  return Code != 221;
}

/// Runs ACommands, or without any each line of standard input, until the server says goodbye;
/// then closes the connection.
inline void RunCommands(TIdTCPConnection& AConnection, const std::vector<std::string>& ACommands) {
  bool Open = true;
  for (size_t I = 0; Open && I < ACommands.size(); ++I)
    Open = RunCommand(AConnection, ACommands[I]);
  for (std::string Line; Open && ACommands.empty() && std::getline(std::cin, Line);)
    Open = RunCommand(AConnection, Line);
  AConnection.CloseConnection();
}

} // namespace Id::Examples
