// SPDX-License-Identifier: MIT
// Per-connection state: each client gets a TSession, made when it connects, found by every
// command of its connection and freed when the connection ends. USER <name> and WHO.
#include <cstdio>
#include <string>

#include <idframework/server/IdServer.h>

using namespace Id;

struct TSession {
  std::string User = "anonymous";
  int Commands = 0;
};

// The session of the connection a command came from.
TSession& SessionOf(TIdCommand& ACommand) {
  TSession& Session = *ACommand.SourceThread()->Data<TSession>();
  ++Session.Commands;
  return Session;
}

int main() {
  TIdTCPServer Server(nullptr);
  Server.Bindings().AddBinding()->SetIP("127.0.0.1");
  Server.OnConnect = [](TIdPeerThread& AThread) { AThread.EmplaceData<TSession>(); };

  TIdCommandHandler* User = Server.CommandHandlers().Add();
  User->SetCommand("USER");
  User->OnCommand = [](TIdCommand& ACommand) {
    SessionOf(ACommand).User = ACommand.ParamText();
    ACommand.CommandReply().SetCodeAndText(250, "OK");
  };
  TIdCommandHandler* Who = Server.CommandHandlers().Add();
  Who->SetCommand("WHO");
  Who->OnCommand = [](TIdCommand& ACommand) {
    const TSession& Session = SessionOf(ACommand);
    ACommand.CommandReply().SetCodeAndText(250, Session.User + ", command " +
                                                    std::to_string(Session.Commands));
  };

  Server.SetActive(true);
  std::printf("listening on 127.0.0.1:%d, Enter stops\n", Server.BoundPort());
  std::fflush(stdout);
  std::getchar();
  Server.SetActive(false);
}
