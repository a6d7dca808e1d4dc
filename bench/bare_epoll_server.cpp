// SPDX-License-Identifier: MIT
// The event-driven reference without threads: one thread, one epoll set, non-blocking sockets.
//
//   --mode close  every accepted connection gets "test" and is closed at once (the "test" service)
//   --mode line   persistent connections; every "PING" line is answered with "200" CR LF, any
//                 other line with "500" CR LF, until the client closes (the line protocol of
//                 bare_line_server)
//
// Prints port=N when listening. On SIGTERM or SIGINT it stops listening, closes every open
// connection and prints stop_ms=N, the time that took.
//
//   bare_epoll_server [--port 0] [--backlog 15] [--mode close]

#include "bench/BenchSupport.h"
#include "bench/LineProtocol.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace Id::Bench {
namespace {

// A line connection's unanswered bytes.
struct TLineConnection {
  char Buffer[4096];
  size_t Held = 0;
};

class TEpollServer {
public:
  TEpollServer(int AListenFd, bool ALineMode) : FListenFd(AListenFd), FLineMode(ALineMode) {
    FEpollFd = epoll_create1(EPOLL_CLOEXEC);
    if (FEpollFd < 0) throw std::runtime_error("epoll_create1 failed");
    const int Flags = fcntl(FListenFd, F_GETFL);
    fcntl(FListenFd, F_SETFL, Flags | O_NONBLOCK);
    Watch(FListenFd);
    Watch(StopSignalFd());
  }
  ~TEpollServer() { close(FEpollFd); }
  TEpollServer(const TEpollServer&) = delete;
  TEpollServer& operator=(const TEpollServer&) = delete;

  // Serves until the stop signal arrives.
  void Run() {
    epoll_event Events[256];
    for (;;) {
      const int Count = epoll_wait(FEpollFd, Events, 256, -1);
      if (Count < 0 && errno != EINTR) throw std::runtime_error("epoll_wait failed");
      for (int I = 0; I < Count; ++I) {
        const int Fd = Events[I].data.fd;
        if (Fd == StopSignalFd()) return;
        if (Fd == FListenFd)
          AcceptAll();
        else
          ServeLines(Fd);
      }
    }
  }

  // Closes the listening socket and every open connection.
  void CloseAll() {
    close(FListenFd);
    for (size_t Fd = 0; Fd < FConnections.size(); ++Fd)
      if (FConnections[Fd]) CloseConnection(int(Fd));
  }

private:
  void Watch(int AFd) {
    epoll_event Event{};
    Event.events = EPOLLIN;
    Event.data.fd = AFd;
    if (epoll_ctl(FEpollFd, EPOLL_CTL_ADD, AFd, &Event) != 0)
      throw std::runtime_error("epoll_ctl failed");
  }

  void AcceptAll() {
    for (;;) {
      const int Client = accept4(FListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (Client < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return; // EAGAIN: all taken; EMFILE and the like: the next readiness tries again
      }
      if (!FLineMode) {
        static const char Reply[] = "test";
        [[maybe_unused]] ssize_t Sent = send(Client, Reply, sizeof(Reply) - 1, MSG_NOSIGNAL);
        close(Client);
        continue;
      }
      if (size_t(Client) >= FConnections.size()) FConnections.resize(size_t(Client) + 1);
      FConnections[size_t(Client)] = std::make_unique<TLineConnection>();
      Watch(Client);
    }
  }

  // Reads what the client sent (level-triggered: what is left comes back) and answers it.
  void ServeLines(int AFd) {
    if (size_t(AFd) >= FConnections.size() || !FConnections[size_t(AFd)]) return;
    TLineConnection& Conn = *FConnections[size_t(AFd)];
    const ssize_t Got = recv(AFd, Conn.Buffer + Conn.Held, sizeof(Conn.Buffer) - Conn.Held, 0);
    if (Got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (Got <= 0) return CloseConnection(AFd);
    Conn.Held += size_t(Got);
    // A reply that does not fit at once means a client that stopped reading: it is dropped.
    auto Send = [AFd](const char* AReply, size_t ASize) {
      return send(AFd, AReply, ASize, MSG_NOSIGNAL) == ssize_t(ASize);
    };
    if (!AnswerLines(Conn.Buffer, Conn.Held, sizeof(Conn.Buffer), Send)) CloseConnection(AFd);
  }

  void CloseConnection(int AFd) {
    FConnections[size_t(AFd)].reset();
    close(AFd); // also leaves the epoll set
  }

  int FListenFd;
  bool FLineMode;
  int FEpollFd = -1;
  std::vector<std::unique_ptr<TLineConnection>> FConnections; // by descriptor
};

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  const std::string Mode = Args.Str("mode", "close");
  if (Mode != "close" && Mode != "line") throw std::runtime_error("unknown --mode " + Mode);
  InstallStopSignal();
  int ListenFd = ListenLoopback(int(Args.Int("port", 0)), int(Args.Int("backlog", 15)));
  TEpollServer Server(ListenFd, Mode == "line");
  PrintFact("port", std::to_string(LocalPort(ListenFd)));
  Server.Run();
  const uint64_t Start = NowNs();
  Server.CloseAll();
  PrintFact("stop_ms", std::to_string((NowNs() - Start) / 1000000));
  return 0;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("bare_epoll_server", &Id::Bench::Main, argc, argv);
}
