// SPDX-License-Identifier: MIT
// The reference point for the architecture's own cost: no framework, a loop that waits for the
// listening socket to become readable, accepts, and starts one thread per connection that writes
// "test" and closes. The thread is a std::thread with the system's default stack (8 MiB on
// Debian), or, with --stack-kib N, a thread with a stack of N KiB. Prints port=N when listening;
// exits on SIGTERM or SIGINT.
//
//   bare_test_server [--port 0] [--backlog 15] [--stack-kib 0]

#include "bench/BenchSupport.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Id::Bench {
namespace {

void ServeOne(int AFd) {
  static const char Reply[] = "test";
  [[maybe_unused]] ssize_t Sent = send(AFd, Reply, sizeof(Reply) - 1, MSG_NOSIGNAL);
  close(AFd);
}

// Returns false once the stop signal arrived.
bool AcceptOne(int AListenFd, long AStackKib) {
  pollfd Fds[2] = {{AListenFd, POLLIN, 0}, {StopSignalFd(), POLLIN, 0}};
  if (poll(Fds, 2, -1) < 0) return errno == EINTR;
  if (Fds[1].revents != 0) return false;
  if ((Fds[0].revents & POLLIN) == 0) return true;
  int Client = accept4(AListenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (Client < 0) return true; // ECONNABORTED, EMFILE: the loop goes on
  if (!StartDetachedThread<&ServeOne>(Client, AStackKib)) close(Client);
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
  close(ListenFd);
  return 0;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("bare_test_server", &Id::Bench::Main, argc, argv);
}
