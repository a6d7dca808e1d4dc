// Hostile and vanishing clients: a megabyte line without a line end against the line limit, in
// one write and in small writes; a client resetting while a megabyte reply is being written. The
// server buffers a bounded amount, reports the right failure, and the process survives with
// SIGPIPE at its default disposition.
#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

#include "core/IdException.h"
#include "stress/StressSupport.h"

using namespace Id;
using namespace IdStress;

namespace {

constexpr int32_t MiB = 1024 * 1024;
constexpr int32_t LineLimit = 16384;
constexpr int32_t ReceiveBlock = 32768;

// Sends AData in writes of at most AChunk bytes; false once the peer is gone.
bool SendInWrites(IdTest::TTestClient& AClient, const std::string& AData, size_t AChunk) {
  for (size_t At = 0; At < AData.size(); At += AChunk)
    if (!AClient.Send(AData.substr(At, AChunk))) return false;
  return true;
}

// What a peer thread saw, written on that thread and read by the test once it has ended.
struct TSeen {
  std::mutex Lock;
  std::string ExceptionClass;
  std::string Message;
  int32_t SocketErrorCode = 0;
  int64_t Buffered = -1;
  std::vector<int32_t> Pieces;
  std::vector<bool> Split;
  int Exceptions = 0;

  void Record(const Exception& E, int64_t ABuffered) {
    std::lock_guard<std::mutex> Guard(Lock);
    ++Exceptions;
    if (!ExceptionClass.empty()) return;
    ExceptionClass = typeid(E).name();
    Message = E.Message();
    if (const auto* Socket = dynamic_cast<const EIdSocketError*>(&E))
      SocketErrorCode = Socket->SocketErrorCode();
    Buffered = ABuffered;
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
    FServer->OnException = [this](TIdPeerThread& AThread, const Exception& E) {
      FSeen.Record(
          E, AThread.PeerConnection()
                 ? static_cast<int64_t>(AThread.PeerConnection()->PendingInput().UnreadCount())
                 : -1);
    };
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

const std::string& LongLine() {
  static const std::string Line(MiB, 'a');
  return Line;
}

} // namespace

// The parameter is a size: of the client's writes, of what it reads before it resets, of the
// server's blocks.
INSTANTIATE_TEST_SUITE_P(Writes, HostileClient, testing::Values(size_t(MiB), size_t(1024)),
                         [](const testing::TestParamInfo<size_t>& AInfo) {
                           return AInfo.param == size_t(MiB) ? "MiB" : "KiB";
                         });

TEST_P(HostileClient, OverlongLineRaisesWithBoundedBuffering) {
  FServer->OnExecute = [](TIdPeerThread& AThread) { AThread.PeerConnection()->ReadLine(); };
  IdTest::TTestClient Client(IdTest::StartOnLoopback(*FServer));
  // The server stops reading at the limit and drops the connection: the send ends early.
  SendInWrites(Client, LongLine(), GetParam());
  EXPECT_TRUE(Client.WaitClosed());
  ASSERT_TRUE(IdTest::WaitFor([&] {
    std::lock_guard<std::mutex> Guard(FSeen.Lock);
    return FSeen.Exceptions > 0;
  }));
  std::lock_guard<std::mutex> Guard(FSeen.Lock);
  EXPECT_EQ(FSeen.Message, "Max line length exceeded.");
  EXPECT_EQ(FSeen.ExceptionClass, typeid(EIdReadLnMaxLineLengthExceeded).name());
  EXPECT_GT(FSeen.Buffered, LineLimit);
  EXPECT_LE(FSeen.Buffered, LineLimit + ReceiveBlock);
  RecordProperty("BufferedAtLimit", static_cast<int>(FSeen.Buffered));
}

TEST_P(HostileClient, OverlongLineIsSplitIntoPiecesOfTheLimit) {
  FServer->OnConnect = [](TIdPeerThread& AThread) {
    AThread.PeerConnection()->SetMaxLineAction(TIdMaxLineAction::maSplit);
  };
  FServer->OnExecute = [this](TIdPeerThread& AThread) {
    TIdTCPServerConnection& Connection = *AThread.PeerConnection();
    // Pieces until the line end: the last one is the only one not split.
    for (bool Split = true; Split;) {
      const std::string Piece = Connection.ReadLine();
      Split = Connection.LineWasSplit();
      std::lock_guard<std::mutex> Guard(FSeen.Lock);
      FSeen.Pieces.push_back(static_cast<int32_t>(Piece.size()));
      FSeen.Split.push_back(Split);
    }
    Connection.WriteLine("done");
    Connection.CloseConnection();
  };
  IdTest::TTestClient Client(IdTest::StartOnLoopback(*FServer));
  ASSERT_TRUE(SendInWrites(Client, LongLine() + "\r\n", GetParam()));
  EXPECT_EQ(Client.ReadLine(), "done");
  EXPECT_TRUE(Client.WaitClosed());
  std::lock_guard<std::mutex> Guard(FSeen.Lock);
  const size_t Whole = MiB / LineLimit;
  ASSERT_EQ(FSeen.Pieces.size(), Whole + 1);
  for (size_t I = 0; I < Whole; ++I) {
    EXPECT_EQ(FSeen.Pieces[I], LineLimit) << "piece " << I;
    EXPECT_TRUE(FSeen.Split[I]) << "piece " << I;
  }
  EXPECT_EQ(FSeen.Pieces[Whole], 0) << "the line end alone follows";
  EXPECT_FALSE(FSeen.Split[Whole]);
}

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
  TClientSockets Client;
  ASSERT_TRUE(Client.Connect(Port, 1, 4096));
  // The parameter here is how much of the reply the client reads before it resets.
  ASSERT_TRUE(Client.ReadAtLeast(0, GetParam() == size_t(MiB) ? 64 * 1024 : 1));
  Client.Reset(0);
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
  IdTest::TTestClient Client(IdTest::StartOnLoopback(*FServer));
  EXPECT_EQ(Client.ReadLine(), "first");
  Client.Reset();
  ClientGone = true;
  ExpectPeerEndedByTheReset();
}
