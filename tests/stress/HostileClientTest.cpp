// SPDX-License-Identifier: MIT
// Vanishing clients: a client resetting while a megabyte reply is being written, or after the
// first of many writes. The peer thread reports the reset as the socket error it is, and the
// process survives with SIGPIPE at its default disposition.
#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

#include "idframework/core/IdException.h"
#include "stress/StressSupport.h"

using namespace Id;
using namespace IdStress;

namespace {

constexpr int32_t MiB = 1024 * 1024;
// What a peer thread saw, written on that thread and read by the test once it has ended.
struct TSeen {
  std::mutex Lock;
  std::string ExceptionClass;
  std::string Message;
  int32_t SocketErrorCode = 0;
  int Exceptions = 0;

  void Record(const Exception& E) {
    std::lock_guard<std::mutex> Guard(Lock);
    ++Exceptions;
    if (!ExceptionClass.empty()) return;
    ExceptionClass = typeid(E).name();
    Message = E.Message();
    if (const auto* Socket = dynamic_cast<const EIdSocketError*>(&E))
      SocketErrorCode = Socket->SocketErrorCode();
  }
};

class HostileClient : public testing::TestWithParam<size_t> {
protected:
  void SetUp() override {
    struct sigaction Current {};
    ::sigaction(SIGPIPE, nullptr, &Current);
    ASSERT_EQ(Current.sa_handler, SIG_DFL) << "SIGPIPE keeps its default disposition";
    FBaseline = SettledBaseline();
    FServer = std::make_unique<TIdTCPServer>(nullptr);
    FServer->OnException = [this](TIdPeerThread&, const Exception& E) { FSeen.Record(E); };
  }
  void TearDown() override {
    if (!FServer) return;
    ASSERT_TRUE(IdTest::WaitFor([&] { return FServer->PeerThreadCount() == 0; }))
        << "the peer thread ends";
    FServer.reset();
    EXPECT_TRUE(BackAt(FBaseline, IdTest::FactLimit));
  }

  // The peer thread ends, and its handler saw the reset as the socket error it is.
  void ExpectPeerEndedByTheReset() {
    ASSERT_TRUE(IdTest::WaitFor([&] { return FServer->PeerThreadCount() == 0; }))
        << "the peer thread ends";
    std::lock_guard<std::mutex> Guard(FSeen.Lock);
    EXPECT_EQ(FSeen.ExceptionClass, typeid(EIdSocketError).name()) << FSeen.Message;
    EXPECT_TRUE(FSeen.SocketErrorCode == WSA::ECONNRESET_ ||
                FSeen.SocketErrorCode == WSA::ECONNABORTED_)
        << FSeen.SocketErrorCode << " " << FSeen.Message;
    RecordProperty("SocketErrorCode", FSeen.SocketErrorCode);
    RecordProperty("Exceptions", FSeen.Exceptions);
  }

  TFacts FBaseline;
  std::unique_ptr<TIdTCPServer> FServer;
  TSeen FSeen;
};

} // namespace

// The parameter is a size: of what the client reads before it resets, of the server's blocks.
INSTANTIATE_TEST_SUITE_P(Writes, HostileClient, testing::Values(size_t(MiB), size_t(1024)),
                         [](const testing::TestParamInfo<size_t>& AInfo) {
                           return AInfo.param == size_t(MiB) ? "MiB" : "KiB";
                         });

TEST_P(HostileClient, ResetDuringAMegabyteReplyEndsThePeerWithTheSocketError) {
  const std::string Reply(MiB, 'r');
  FServer->OnExecute = [&Reply](TIdPeerThread& AThread) {
    AThread.PeerConnection()->WriteText(Reply);
    AThread.PeerConnection()->CloseConnection();
  };
  const int32_t Port = IdTest::StartOnLoopback(*FServer);
  // Small buffers on both ends (the accepted socket takes the listener's) keep the megabyte
  // from fitting into them, so the reply is still being written when the client resets.
  const int SendBuffer = 16384;
  ::setsockopt(static_cast<int>(FServer->Bindings().Items(0)->Descriptor()), SOL_SOCKET, SO_SNDBUF,
               &SendBuffer, sizeof(SendBuffer));
  IdTest::TRawPeer Client;
  ASSERT_TRUE(Client.Open());
  const int ReceiveBuffer = 4096;
  ::setsockopt(Client.Fd(), SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof(ReceiveBuffer));
  ASSERT_TRUE(Client.Connect(Port));
  // The parameter here is how much of the reply the client reads before it resets.
  const size_t Read = GetParam() == size_t(MiB) ? 64 * 1024 : 1;
  ASSERT_EQ(Client.Receive(Read).size(), Read);
  Client.Reset();
  ExpectPeerEndedByTheReset();
}

TEST_P(HostileClient, ResetAfterTheFirstWriteFailsTheNextWriteWithTheSocketError) {
  std::atomic<bool> ClientGone{false};
  FServer->OnExecute = [&ClientGone](TIdPeerThread& AThread) {
    TIdTCPServerConnection& Connection = *AThread.PeerConnection();
    Connection.WriteLine("first");
    IdTest::WaitFor([&] { return ClientGone.load(); }, IdTest::FactLimit);
    // On loopback the reset has arrived by the time the client is gone.
    const std::string Block(GetParam() == size_t(MiB) ? MiB : 1024, 'w');
    for (int I = 0; I < 64; ++I)
      Connection.WriteText(Block);
    Connection.CloseConnection();
  };
  IdTest::TRawPeer Client(IdTest::StartOnLoopback(*FServer));
  EXPECT_EQ(Client.ReadLine(), "first");
  Client.Reset();
  ClientGone = true;
  ExpectPeerEndedByTheReset();
}
