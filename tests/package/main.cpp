// SPDX-License-Identifier: MIT
// A program outside the framework's tree, built against the installed library: a line server on
// a port the system chooses, one command from a client, and the reply checked. Exits 0 when the
// exchange worked. Its own runtime/Thread.h sits first on its include path, beside the
// framework's headers.
#include <cstdio>

#include <idframework/connection/IdClient.h>
#include <idframework/server/IdServer.h>

#include "runtime/Thread.h" // the consumer's own

using namespace Id;

int main() {
  try {
    TIdTCPServer Server(nullptr);
    Server.Bindings().AddBinding()->SetIP("127.0.0.1");
    Server.Greeting().SetCodeAndText(200, "Ready");
    TIdCommandHandler* Echo = Server.CommandHandlers().Add();
    Echo->SetCommand("ECHO");
    Echo->OnCommand = [](TIdCommand& ACommand) {
      ACommand.CommandReply().SetCodeAndText(250, ACommand.ParamText());
    };
    Server.SetActive(true);

    TIdTCPClient Client;
    Client.Connect("127.0.0.1", Server.BoundPort(), 5000);
    Client.SetReadTimeout(5000);
    Client.ReadReply({200});
    Client.SendCommand("ECHO hello", {250});
    const std::string Reply = Client.LastReply().FormatReply();
    Client.CloseConnection();
    Server.SetActive(false);
    if (Reply != "250 hello\r\n") {
      std::fprintf(stderr, "unexpected reply: %s\n", Reply.c_str());
      return 1;
    }
  } catch (const Exception& E) {
    std::fprintf(stderr, "failed: %s\n", E.what());
    return 1;
  }
  std::printf("line exchange beside %s: ok\n", User::ThreadHeader);
  return 0;
}
