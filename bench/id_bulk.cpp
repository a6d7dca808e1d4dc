// SPDX-License-Identifier: MIT
// Bulk transfer through the framework's connection over loopback, in one process: a TIdTCPServer
// on 127.0.0.1 whose peer thread sends or receives --bytes, and a plain socket client thread at
// the other end that reads or writes as fast as it can.
//
// Modes: write-stream (WriteFromStream of a memory stream of --bytes), send-file (SendFile of
// --file), read-until-closed (ReadUntilClosed of what the client sends), read-available
// (ReadAvailable until the client closes). Prints one line: mode= bytes= seconds= gbit_s=.
//
//   id_bulk --mode M --bytes N [--file PATH] [--server-cpu 1] [--client-cpu 0] [--timeout 120]

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/IdBenchServer.h"
#include "idframework/core/IdException.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/runtime/Stream.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/server/IdTCPServer.h"

namespace Id::Bench {
namespace {

constexpr size_t KClientBlock = 1 << 20;

// The end of the transfer as one side saw it; set once, by the peer thread or the client.
class TOutcome {
public:
  void Finish(uint64_t ABytes, const std::string& AError = std::string()) {
    std::lock_guard<std::mutex> Lock(FMutex);
    if (FDone) return;
    FDone = true;
    FBytes = ABytes;
    FEndNs = NowNs();
    FError = AError;
    FChanged.notify_all();
  }
  bool Wait(double ASeconds) {
    std::unique_lock<std::mutex> Lock(FMutex);
    return FChanged.wait_for(Lock, std::chrono::duration<double>(ASeconds),
                             [this] { return FDone; });
  }
  uint64_t Bytes() const { return FBytes; }
  uint64_t EndNs() const { return FEndNs; }
  const std::string& Error() const { return FError; }

private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  bool FDone = false;
  uint64_t FBytes = 0;
  uint64_t FEndNs = 0;
  std::string FError;
};

struct TBulkPlan {
  std::string Mode;
  uint64_t Bytes = 0;
  std::string File;
  int ServerCpu = -1;
  int ClientCpu = -1;
  double TimeoutS = 120;
  bool ServerSends() const { return Mode == "write-stream" || Mode == "send-file"; }
};

TOutcome GOutcome;

// The client's side of a server-sends mode: read everything, count it, stop at the close.
void ClientReads(int AFd) {
  std::vector<char> Block(KClientBlock);
  uint64_t Total = 0;
  for (;;) {
    ssize_t Got = recv(AFd, Block.data(), Block.size(), 0);
    if (Got > 0) {
      Total += uint64_t(Got);
      continue;
    }
    GOutcome.Finish(Total, Got == 0 ? "" : std::string("recv: ") + std::strerror(errno));
    return;
  }
}

// The client's side of a server-receives mode: send the bytes, then close.
void ClientWrites(int AFd, uint64_t ABytes) {
  const uint64_t Sent = SendFiller(AFd, ABytes);
  if (Sent != ABytes) GOutcome.Finish(Sent, "send failed");
}

void RunClient(const TBulkPlan& APlan, int APort) {
  try {
    if (APlan.ClientCpu >= 0) PinToCpu(APlan.ClientCpu);
    int Fd = ConnectLoopback(APort, APlan.TimeoutS);
    if (APlan.ServerSends()) {
      ClientReads(Fd);
    } else {
      ClientWrites(Fd, APlan.Bytes);
    }
    close(Fd);
  } catch (const std::exception& E) {
    GOutcome.Finish(0, E.what());
  }
}

uint64_t ReceiveAvailableUntilClosed(TIdTCPConnection& AConnection) {
  uint64_t Total = 0;
  try {
    while (AConnection.IsConnected())
      Total += AConnection.ReadAvailable().size();
  } catch (const EIdConnClosedGracefully&) {
  }
  return Total;
}

// The peer thread's side. Runs on the peer thread.
void Serve(const TBulkPlan& APlan, TMemoryStream* AStream, TIdPeerThread& AThread) {
  TIdTCPConnection& Connection = *AThread.PeerConnection();
  if (APlan.Mode == "write-stream") {
    Connection.WriteFromStream(*AStream, true, false, 0);
  } else if (APlan.Mode == "send-file") {
    Connection.SendFile(APlan.File);
  } else if (APlan.Mode == "read-until-closed") {
    GOutcome.Finish(Connection.ReadUntilClosed().size());
  } else {
    GOutcome.Finish(ReceiveAvailableUntilClosed(Connection));
  }
  Connection.CloseConnection();
}

TBulkPlan ParsePlan(const TBenchArgs& AArgs) {
  TBulkPlan Plan;
  Plan.Mode = AArgs.Str("mode", "");
  Plan.Bytes = uint64_t(AArgs.Int("bytes", 1L << 30));
  Plan.File = AArgs.Str("file", "");
  Plan.ServerCpu = int(AArgs.Int("server-cpu", -1));
  Plan.ClientCpu = int(AArgs.Int("client-cpu", -1));
  Plan.TimeoutS = AArgs.Real("timeout", 120);
  const bool Known = Plan.Mode == "write-stream" || Plan.Mode == "send-file" ||
                     Plan.Mode == "read-until-closed" || Plan.Mode == "read-available";
  if (!Known) throw std::runtime_error("unknown --mode " + Plan.Mode);
  if (Plan.Mode == "send-file" && Plan.File.empty()) throw std::runtime_error("--file missing");
  if (Plan.Bytes == 0 || Plan.Bytes > (1ull << 31) - 1)
    throw std::runtime_error("--bytes must be 1 .. 2^31-1");
  return Plan;
}

std::unique_ptr<TMemoryStream> MakeStream(const TBulkPlan& APlan) {
  auto Stream = std::make_unique<TMemoryStream>();
  if (APlan.Mode != "write-stream") return Stream;
  Stream->SetSize(int64_t(APlan.Bytes));
  // Real pages, not the shared zero page an untouched block would read from.
  std::memset(Stream->Memory(), 'x', size_t(APlan.Bytes));
  return Stream;
}

void Report(const TBulkPlan& APlan, uint64_t AStartNs) {
  const double Seconds = double(GOutcome.EndNs() - AStartNs) / 1e9;
  std::printf("mode=%s bytes=%llu seconds=%.3f gbit_s=%.2f\n", APlan.Mode.c_str(),
              static_cast<unsigned long long>(GOutcome.Bytes()), Seconds,
              double(GOutcome.Bytes()) * 8 / Seconds / 1e9);
}

int Main(int argc, char** argv) {
  TBenchArgs Args(argc, argv);
  const TBulkPlan Plan = ParsePlan(Args);
  InstallStopSignal();
  std::unique_ptr<TMemoryStream> Stream = MakeStream(Plan);
  auto Server = std::make_unique<TIdTCPServer>(nullptr);
  // Both run on the peer thread of the one connection.
  Server->OnConnect = [&Plan](TIdPeerThread&) {
    if (Plan.ServerCpu >= 0) PinToCpu(Plan.ServerCpu);
  };
  Server->OnExecute = [&Plan, &Stream](TIdPeerThread& AThread) {
    Serve(Plan, Stream.get(), AThread);
  };
  StartOnLoopback(*Server, Args); // prints port=N first
  const int Port = Server->Bindings().BindingAt(0)->Port();
  const uint64_t Start = NowNs();
  std::thread Client(RunClient, std::cref(Plan), Port);
  const bool Done = GOutcome.Wait(Plan.TimeoutS);
  if (!Done) {
    std::fprintf(stderr, "id_bulk: no end within %.0f s\n", Plan.TimeoutS);
    std::_Exit(1);
  }
  Client.join();
  Server->SetActive(false);
  if (!GOutcome.Error().empty() || GOutcome.Bytes() != Plan.Bytes) {
    std::fprintf(stderr, "id_bulk: %llu of %llu bytes; %s\n",
                 static_cast<unsigned long long>(GOutcome.Bytes()),
                 static_cast<unsigned long long>(Plan.Bytes), GOutcome.Error().c_str());
    return 1;
  }
  Report(Plan, Start);
  return 0;
}

} // namespace
} // namespace Id::Bench

int main(int argc, char** argv) {
  return Id::Bench::RunTool("id_bulk", &Id::Bench::Main, argc, argv);
}
