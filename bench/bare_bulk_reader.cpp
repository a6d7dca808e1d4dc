// SPDX-License-Identifier: MIT
// The reference point for a bulk read that keeps every byte: no framework, one listening socket,
// one accepted connection read with recv into a 32 KiB block, each piece appended to one
// std::string, until the client closes. The client is a thread of the same process that sends
// --bytes and closes, as in id_bulk. Prints one line: mode= bytes= seconds= gbit_s=.
//
//   bare_bulk_reader --bytes N [--server-cpu 1] [--client-cpu 0] [--timeout 120]

#include "bench/BenchSupport.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace Id::Bench {
namespace {

constexpr size_t KReceiveBlock = 32768;

std::string ReadUntilClosed(int AFd) {
  std::string Result;
  char Block[KReceiveBlock];
  for (;;) {
    const ssize_t Got = recv(AFd, Block, sizeof(Block), 0);
    if (Got == 0) return Result;
    if (Got < 0) throw std::runtime_error("recv failed");
    Result.append(Block, size_t(Got));
  }
}

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  const auto Bytes = uint64_t(Args.Int("bytes", 1L << 30));
  const int ServerCpu = int(Args.Int("server-cpu", -1));
  const int ClientCpu = int(Args.Int("client-cpu", -1));
  const double TimeoutS = Args.Real("timeout", 120);
  if (ServerCpu >= 0) PinToCpu(ServerCpu);
  const int ListenFd = ListenLoopback(0, 1);
  const uint64_t Start = NowNs();
  uint64_t Sent = 0;
  std::thread Client([&] {
    if (ClientCpu >= 0) PinToCpu(ClientCpu);
    const int Fd = ConnectLoopback(LocalPort(ListenFd), TimeoutS);
    Sent = SendFiller(Fd, Bytes);
    close(Fd);
  });
  const int Fd = accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (Fd < 0) throw std::runtime_error("accept failed");
  const std::string Result = ReadUntilClosed(Fd);
  const double Seconds = double(NowNs() - Start) / 1e9;
  const size_t Received = Result.size();
  Client.join();
  close(Fd);
  close(ListenFd);
  if (Received != Bytes || Sent != Bytes)
    throw std::runtime_error("sent " + std::to_string(Sent) + ", received " +
                             std::to_string(Received) + " of " + std::to_string(Bytes));
  std::printf("mode=bare-read-into-string bytes=%zu seconds=%.3f gbit_s=%.2f\n", Received, Seconds,
              double(Received) * 8 / Seconds / 1e9);
  return 0;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("bare_bulk_reader", &Id::Bench::Main, argc, argv);
}
