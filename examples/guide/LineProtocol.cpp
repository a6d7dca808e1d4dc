// SPDX-License-Identifier: MIT
// A line protocol on command handlers: a greeting, HELLO <name>, ADD <a> <b> and QUIT, numbered
// replies, and an answer for every other line. Serves 127.0.0.1 until Enter is pressed.
#include <cstdio>

#include <idframework/server/IdServer.h>

using namespace Id;

int main() {
  TIdTCPServer Server(nullptr);
  Server.Bindings().AddBinding()->SetIP("127.0.0.1");
  Server.Greeting().SetCodeAndText(200, "Ready");
  Server.ReplyUnknownCommand().SetCodeAndText(500, "Unknown command");

  TIdCommandHandler* Hello = Server.CommandHandlers().Add();
  Hello->SetCommand("HELLO");
  Hello->OnCommand = [](TIdCommand& ACommand) {
    ACommand.CommandReply().SetCodeAndText(250, "Hello, " + ACommand.ParamText());
  };

  TIdCommandHandler* Add = Server.CommandHandlers().Add();
  Add->SetCommand("ADD");
  Add->SetReplyExceptionCode(501); // StrToInt's EConvertError becomes a 501 reply
  Add->OnCommand = [](TIdCommand& ACommand) {
    TStringList& Params = ACommand.ParamList();
    if (Params.Count() != 2) throw EIdException("ADD takes two numbers");
    const int64_t Sum = int64_t(StrToInt(Params[0])) + StrToInt(Params[1]);
    ACommand.CommandReply().SetCodeAndText(250, IntToStr(Sum));
  };

  TIdCommandHandler* Quit = Server.CommandHandlers().Add();
  Quit->SetCommand("QUIT");
  Quit->ReplyNormal().SetCodeAndText(221, "Bye");
  Quit->SetDisconnect(true); // the server closes the connection after the reply

  Server.SetActive(true);
  std::printf("listening on 127.0.0.1:%d, Enter stops\n", Server.BoundPort());
  std::fflush(stdout);
  std::getchar();
  Server.SetActive(false);
}
