// SPDX-License-Identifier: MIT
// POCO's Poco::Net::TCPServer as a peer: its acceptor thread queues each connection, a thread of
// its pool runs the connection's handler.
//
//   --mode close  the handler writes "test" and returns, which closes the connection (the "test"
//                 service)
//   --mode line   the handler answers every "PING" line with "200" CR LF (any other line with
//                 "500" CR LF) until the client closes (the line protocol of bare_line_server);
//                 a client beyond the pool's threads waits in the queue until a thread is free
//   --threads 0   default TCPServerParams and POCO's default thread pool (2 to 16 threads)
//   --threads N   a pool of N threads, all started up front, with TCPServerParams max threads N
//                 and max queued --queue (default: the backlog), so that a burst of connections
//                 waits in the queue instead of being dropped
//
// Prints port=N when listening. On SIGTERM or SIGINT it stops the server, shuts every open line
// connection down, waits until the pool's threads are idle and prints stop_ms=N.
//
//   poco_server [--port 0] [--backlog 15] [--mode close] [--threads 0] [--queue BACKLOG]

#include "bench/BenchSupport.h"
#include "bench/LineProtocol.h"

#include <Poco/Exception.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/Net/TCPServerParams.h>
#include <Poco/ThreadPool.h>

#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/socket.h>

namespace Id::Bench {
namespace {

class TTestConnection : public Poco::Net::TCPServerConnection {
public:
  using Poco::Net::TCPServerConnection::TCPServerConnection;
  void run() override {
    try {
      socket().sendBytes("test", 4);
    } catch (const Poco::Exception&) {
      // the client left first
    }
  }
};

// The open line connections, so that a stop can wake the handlers blocked in a receive.
class TConnectionRegistry {
public:
  void Add(int AFd) {
    std::lock_guard<std::mutex> Lock(FMutex);
    FOpen.insert(AFd);
  }
  // Called before the socket closes, so a stop never shuts down a reused descriptor.
  void Remove(int AFd) {
    std::lock_guard<std::mutex> Lock(FMutex);
    FOpen.erase(AFd);
  }
  void ShutdownAll() {
    std::lock_guard<std::mutex> Lock(FMutex);
    for (int Fd : FOpen)
      shutdown(Fd, SHUT_RDWR);
  }

private:
  std::mutex FMutex;
  std::set<int> FOpen;
};

TConnectionRegistry GRegistry;

class TLineConnection : public Poco::Net::TCPServerConnection {
public:
  using Poco::Net::TCPServerConnection::TCPServerConnection;
  void run() override {
    Poco::Net::StreamSocket& Socket = socket();
    const int Fd = Socket.impl()->sockfd();
    GRegistry.Add(Fd);
    try {
      Serve(Socket);
    } catch (const Poco::Exception&) {
      // reset by the client, or shut down by a stop
    }
    GRegistry.Remove(Fd);
  }

private:
  static void Serve(Poco::Net::StreamSocket& ASocket) {
    char Buffer[4096];
    size_t Held = 0;
    auto Send = [&ASocket](const char* AReply, size_t ASize) {
      return ASocket.sendBytes(AReply, int(ASize)) == int(ASize);
    };
    for (;;) {
      const int Got = ASocket.receiveBytes(Buffer + Held, int(sizeof(Buffer) - Held));
      if (Got <= 0) return;
      Held += size_t(Got);
      if (!AnswerLines(Buffer, Held, sizeof(Buffer), Send)) return;
    }
  }
};

Poco::Net::TCPServerConnectionFactory::Ptr MakeFactory(bool ALineMode) {
  if (ALineMode) return new Poco::Net::TCPServerConnectionFactoryImpl<TLineConnection>();
  return new Poco::Net::TCPServerConnectionFactoryImpl<TTestConnection>();
}

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  const std::string Mode = Args.Str("mode", "close");
  if (Mode != "close" && Mode != "line") throw std::runtime_error("unknown --mode " + Mode);
  const int Backlog = int(Args.Int("backlog", 15));
  const int Threads = int(Args.Int("threads", 0));
  const int Queue = int(Args.Int("queue", Backlog));
  if (Threads < 0 || Queue <= 0) throw std::runtime_error("--threads or --queue out of range");
  InstallStopSignal();

  Poco::Net::ServerSocket Socket(
      Poco::Net::SocketAddress("127.0.0.1", Poco::UInt16(Args.Int("port", 0))), Backlog);
  std::unique_ptr<Poco::ThreadPool> OwnPool;
  std::unique_ptr<Poco::Net::TCPServer> Server;
  if (Threads == 0) {
    Server = std::make_unique<Poco::Net::TCPServer>(MakeFactory(Mode == "line"), Socket);
  } else {
    OwnPool = std::make_unique<Poco::ThreadPool>(Threads, Threads);
    Poco::Net::TCPServerParams::Ptr Params = new Poco::Net::TCPServerParams;
    Params->setMaxThreads(Threads);
    Params->setMaxQueued(Queue);
    Server = std::make_unique<Poco::Net::TCPServer>(MakeFactory(Mode == "line"), *OwnPool, Socket,
                                                    Params);
  }
  Server->start();
  PrintFact("port", std::to_string(Socket.address().port()));

  WaitForStopSignal();
  const uint64_t Start = NowNs();
  Server->stop();
  GRegistry.ShutdownAll();
  Poco::ThreadPool& Pool = OwnPool ? *OwnPool : Poco::ThreadPool::defaultPool();
  Pool.joinAll();
  PrintFact("stop_ms", std::to_string((NowNs() - Start) / 1000000));
  Server.reset();
  return 0;
}

int GuardedMain(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const Poco::Exception& E) {
    throw std::runtime_error(E.displayText());
  }
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("poco_server", &Id::Bench::GuardedMain, argc, argv);
}
