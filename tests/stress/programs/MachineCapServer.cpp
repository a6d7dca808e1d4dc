// SPDX-License-Identifier: MIT
// A server capped by the machine (MaxConnections 0) inside a control group: it first moves
// itself into the group whose directory is its argument, then listens on 127.0.0.1 and greets
// each client with "200 ready". A client's line "refused" is answered with the clients refused
// for want of resources so far; any other line is echoed. Every OnListenException is written
// to standard output as "<class>|<text>". Ends on SIGTERM; exit code 3 when it cannot join the
// group.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "idframework/server/IdServer.h"

using namespace Id;

namespace {

bool JoinGroup(const std::string& ADirectory) {
  std::ofstream Procs(ADirectory + "/cgroup.procs");
  Procs << ::getpid() << std::flush;
  return static_cast<bool>(Procs);
}

} // namespace

int main(int AArgc, char** AArgv) {
  if (AArgc != 2 || !JoinGroup(AArgv[1])) return 3;
  TIdTCPServer Server(nullptr);
  Server.Bindings().AddBinding()->SetIP("127.0.0.1");
  Server.SetMaxConnections(0); // the cap that follows the machine
  Server.Greeting().SetCodeAndText(200, "ready");
  Server.MaxConnectionReply().SetCodeAndText(421, "busy");
  Server.OnExecute = [&Server](TIdPeerThread& AThread) {
    TIdTCPConnection& Connection = *AThread.PeerConnection();
    for (;;) {
      const std::string Line = Connection.ReadLine();
      Connection.WriteLine(Line == "refused" ? std::to_string(Server.Counters().RefusedResources)
                                             : Line);
    }
  };
  Server.OnListenException = [](TIdListenerThread&, const Exception& AException) {
    const bool Typed = dynamic_cast<const EIdCouldNotCreateThread*>(&AException) != nullptr;
    std::printf("%s|%s\n", Typed ? "EIdCouldNotCreateThread" : "other", AException.what());
    std::fflush(stdout);
  };
  Server.SetActive(true);
  for (;;)
    pause();
}
