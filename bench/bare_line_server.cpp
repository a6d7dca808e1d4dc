// The reference line server with no framework: poll then accept, one std::thread per connection
// that answers every "PING" line with "200" CR LF (any other line with "500" CR LF) until the
// client closes. On SIGTERM it stops listening, shuts every open connection down, waits for all
// connection threads to end and prints stop_ms=N, the time that took. Prints port=N first.
//
//   bare_line_server [--port 0] [--backlog 15]

#include "bench/BenchSupport.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <thread>
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

bool AnswerLine(int AFd, const char* ABegin, const char* AEnd) {
  if (AEnd > ABegin && AEnd[-1] == '\r') --AEnd;
  const bool IsPing = AEnd - ABegin == 4 && std::memcmp(ABegin, "PING", 4) == 0;
  const char* Reply = IsPing ? "200\r\n" : "500\r\n";
  return send(AFd, Reply, 5, MSG_NOSIGNAL) == 5;
}

// Answers the complete lines among the Held bytes, keeps the rest at the front; false when the
// client is gone or sent a line longer than the buffer.
bool AnswerLines(int AFd, char* ABuffer, size_t& AHeld, size_t ASize) {
  char* Start = ABuffer;
  char* End = ABuffer + AHeld;
  while (char* Lf = static_cast<char*>(std::memchr(Start, '\n', size_t(End - Start)))) {
    if (!AnswerLine(AFd, Start, Lf)) return false;
    Start = Lf + 1;
  }
  AHeld = size_t(End - Start);
  std::memmove(ABuffer, Start, AHeld);
  return AHeld < ASize;
}

void ServeLines(int AFd) {
  char Buffer[4096];
  size_t Held = 0;
  for (;;) {
    ssize_t Got = recv(AFd, Buffer + Held, sizeof(Buffer) - Held, 0);
    if (Got <= 0) break;
    Held += size_t(Got);
    if (!AnswerLines(AFd, Buffer, Held, sizeof(Buffer))) break;
  }
  GRegistry.CloseAndRemove(AFd);
}

bool AcceptOne(int AListenFd) {
  pollfd Fds[2] = {{AListenFd, POLLIN, 0}, {StopSignalFd(), POLLIN, 0}};
  if (poll(Fds, 2, -1) < 0) return errno == EINTR;
  if (Fds[1].revents != 0) return false;
  if ((Fds[0].revents & POLLIN) == 0) return true;
  int Client = accept4(AListenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (Client < 0) return true;
  GRegistry.Add(Client);
  std::thread(ServeLines, Client).detach();
  return true;
}

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  InstallStopSignal();
  int ListenFd = ListenLoopback(int(Args.Int("port", 0)), int(Args.Int("backlog", 15)));
  PrintFact("port", std::to_string(LocalPort(ListenFd)));
  while (AcceptOne(ListenFd)) {
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
