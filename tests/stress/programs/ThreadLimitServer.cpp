// SPDX-License-Identifier: MIT
// A server that meets a real thread limit. Run as root, it becomes a user of its own (root is
// not held to the limit); once it listens it limits that user's threads (RLIMIT_NPROC) to those
// it has (a sanitizer's included) and one more, for one peer thread, and writes "limited" to
// standard output. A client gets its first line echoed; every OnListenException is written as
// "<class>|<text>". Ends on SIGTERM; exit code 3 when the limit cannot be set.
#include <grp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "idframework/server/IdServer.h"

using namespace Id;

namespace {

int ThreadsOfThisProcess() {
  std::ifstream Status("/proc/self/status");
  for (std::string Line; std::getline(Status, Line);)
    if (Line.rfind("Threads:", 0) == 0) return std::stoi(Line.substr(8));
  return -1;
}

bool BecomeAUserOfItsOwn() {
  const auto User = static_cast<uid_t>(50000 + getpid() % 10000);
  return setgroups(0, nullptr) == 0 && setgid(User) == 0 && setuid(User) == 0;
}

bool LimitThreadsToOneMore() {
  const int Threads = ThreadsOfThisProcess();
  const rlimit Limit{static_cast<rlim_t>(Threads + 1), static_cast<rlim_t>(Threads + 1)};
  return Threads > 0 && setrlimit(RLIMIT_NPROC, &Limit) == 0;
}

} // namespace

int main() {
  if (!BecomeAUserOfItsOwn()) return 3;
  TThread::SetParkedThreads(0, 0); // a peer thread gives its place back when its body ends
  TIdTCPServer Server(nullptr);
  Server.Bindings().AddBinding()->SetIP("127.0.0.1");
  Server.MaxConnectionReply().SetCodeAndText(421, "busy");
  Server.OnExecute = [](TIdPeerThread& AThread) {
    TIdTCPConnection& Connection = *AThread.PeerConnection();
    Connection.WriteLine(Connection.ReadLine());
    Connection.CloseConnection();
  };
  Server.OnListenException = [](TIdListenerThread&, const Exception& AException) {
    const bool Typed = dynamic_cast<const EIdCouldNotCreateThread*>(&AException) != nullptr;
    std::printf("%s|%s\n", Typed ? "EIdCouldNotCreateThread" : "other", AException.what());
    std::fflush(stdout);
  };
  Server.SetActive(true);
  if (!LimitThreadsToOneMore()) return 3;
  std::puts("limited");
  std::fflush(stdout);
  for (;;)
    pause();
}
