// SPDX-License-Identifier: MIT
// The reference line server with no framework: poll then accept, one thread per connection that
// answers every "PING" line with "200" CR LF (any other line with "500" CR LF) until the client
// closes. The thread is a std::thread with the system's default stack (8 MiB on Debian), or, with
// --stack-kib N, a thread with a stack of N KiB. On SIGTERM it stops listening, shuts every open
// connection down, waits for all connection threads to end and prints stop_ms=N, the time that
// took. Prints port=N first.
//
//   bare_line_server [--port 0] [--backlog 15] [--stack-kib 0]

#include "bench/BenchSupport.h"
#include "bench/LineProtocol.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace Id::Bench {
namespace {

// The open connections, so that a stop can wake the threads blocked in recv.
class TConnectionRegistry {
public:
  void Add(int AFd) {
    std::lock_guard<std::mutex> Lock(FMutex);
    FOpen.insert(AFd);
  }
  // Closes the socket under the lock, so a stop never shuts down a reused descriptor.
  void CloseAndRemove(int AFd) {
    std::lock_guard<std::mutex> Lock(FMutex);
    FOpen.erase(AFd);
    close(AFd);
    FChanged.notify_all();
  }
  void ShutdownAllAndWait() {
    std::unique_lock<std::mutex> Lock(FMutex);
    for (int Fd : FOpen)
      shutdown(Fd, SHUT_RDWR);
    FChanged.wait(Lock, [this] { return FOpen.empty(); });
  }

private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::set<int> FOpen;
};

TConnectionRegistry GRegistry;

void ServeLines(int AFd) {
  char Buffer[4096];
  size_t Held = 0;
  auto Send = [AFd](const char* AReply, size_t ASize) {
    return send(AFd, AReply, ASize, MSG_NOSIGNAL) == ssize_t(ASize);
  };
  for (;;) {
    ssize_t Got = recv(AFd, Buffer + Held, sizeof(Buffer) - Held, 0);
    if (Got <= 0) break;
    Held += size_t(Got);
    if (!AnswerLines(Buffer, Held, sizeof(Buffer), Send)) break;
  }
  GRegistry.CloseAndRemove(AFd);
}

bool AcceptOne(int AListenFd, long AStackKib) {
  pollfd Fds[2] = {{AListenFd, POLLIN, 0}, {StopSignalFd(), POLLIN, 0}};
  if (poll(Fds, 2, -1) < 0) return errno == EINTR;
  if (Fds[1].revents != 0) return false;
  if ((Fds[0].revents & POLLIN) == 0) return true;
  int Client = accept4(AListenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (Client < 0) return true;
  GRegistry.Add(Client);
  if (!StartDetachedThread<&ServeLines>(Client, AStackKib)) GRegistry.CloseAndRemove(Client);
  return true;
}

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  InstallStopSignal();
  int ListenFd = ListenLoopback(int(Args.Int("port", 0)), int(Args.Int("backlog", 15)));
  const long StackKib = StackKibArg(Args);
  PrintFact("port", std::to_string(LocalPort(ListenFd)));
  while (AcceptOne(ListenFd, StackKib)) {
  }
  const uint64_t Start = NowNs();
  close(ListenFd);
  GRegistry.ShutdownAllAndWait();
  PrintFact("stop_ms", std::to_string((NowNs() - Start) / 1000000));
  return 0;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("bare_line_server", &Id::Bench::Main, argc, argv);
}
