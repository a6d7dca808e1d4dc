// A line-protocol server built on command handlers: a greeting, HELP, ECHO, ADD, QUIT and an
// answer for every other line. Listens on 127.0.0.1 (port from the command line, 0 for any) and
// runs until interrupted.
//
//   lineserver [port]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "server/IdServer.h"

using namespace Id;

namespace {

TIdCommandHandler* AddCommand(TIdTCPServer& AServer, const std::string& AWord) {
  TIdCommandHandler* Handler = AServer.CommandHandlers().Add();
  Handler->SetCommand(AWord);
  return Handler;
}

void InstallCommands(TIdTCPServer& AServer) {
  TIdCommandHandler* Help = AddCommand(AServer, "HELP");
  Help->ReplyNormal().SetCodeAndText(214, "Commands follow");
  for (const char* Line : {"HELP", "ECHO <text>", "ADD <a> <b>", "QUIT"})
    Help->Response().Add(Line);

  TIdCommandHandler* Echo = AddCommand(AServer, "ECHO");
  Echo->OnCommand = [](TIdCommand& ACommand) {
    ACommand.CommandReply().SetCodeAndText(250, ACommand.ParamText());
  };

  // A bad number raises; the handler's exception code turns that into a 501 reply.
  TIdCommandHandler* Add = AddCommand(AServer, "ADD");
  Add->SetReplyExceptionCode(501);
  Add->OnCommand = [](TIdCommand& ACommand) {
    if (ACommand.ParamList().Count() != 2) throw EIdException("ADD takes two numbers");
    const int64_t Sum =
        int64_t(StrToInt(ACommand.ParamList()[0])) + int64_t(StrToInt(ACommand.ParamList()[1]));
    ACommand.CommandReply().SetCodeAndText(250, IntToStr(Sum));
  };

  TIdCommandHandler* Quit = AddCommand(AServer, "QUIT");
  Quit->ReplyNormal().SetCodeAndText(221, "Bye");
  Quit->SetDisconnect(true);
}

} // namespace

int main(int argc, char** argv) {
  // Blocked before any thread starts, so that only sigwait below receives them.
  sigset_t Stop;
  sigemptyset(&Stop);
  sigaddset(&Stop, SIGINT);
  sigaddset(&Stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &Stop, nullptr);

  try {
    TIdTCPServer Server(nullptr);
    Server.Greeting().SetCodeAndText(200, "Line server ready");
    Server.ReplyUnknownCommand().SetCodeAndText(500, "Unknown command");
    InstallCommands(Server);
    TIdSocketHandle* Binding = Server.Bindings().AddBinding();
    Binding->SetIP("127.0.0.1");
    Binding->SetPort(argc > 1 ? std::atoi(argv[1]) : 0);
    Server.SetActive(true);
    std::printf("listening on 127.0.0.1:%d\n", Binding->Port());
    std::fflush(stdout);

    int Signal = 0;
    sigwait(&Stop, &Signal);
    Server.SetActive(false);
  } catch (const Exception& E) {
    std::fprintf(stderr, "%s\n", E.what());
    return 1;
  }
  return 0;
}
