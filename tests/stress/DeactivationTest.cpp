// SPDX-License-Identifier: MIT
// Deactivation under load: with thousands of peer threads blocked reading from clients that
// never send or close, and with hundreds blocked sending to clients that never read, Active false
// returns within a second without a timeout, every client sees the close, and descriptors,
// threads and the live counts are back at their baseline.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "net/NetTestSupport.h"
#include "stress/StressSupport.h"

using namespace Id;
using namespace IdStress;

namespace {

constexpr std::chrono::milliseconds DeactivateLimit{1000};

class DeactivationUnderLoad : public testing::Test {
protected:
  void SetUp() override {
    FBaseline = SettledBaseline();
    FServer = std::make_unique<TIdTCPServer>(nullptr);
  }

  // Active false on a loaded server: timed, it must neither raise nor take a second.
  void DeactivateAndCheck(TClientSockets& AClients) {
    const auto Start = TClock::now();
    EXPECT_NO_THROW(FServer->SetActive(false)) << "no Terminate Thread Timeout";
    const int64_t Ms = ElapsedMs(Start);
    RecordProperty("DeactivateMs", static_cast<int>(Ms));
    EXPECT_LT(Ms, DeactivateLimit.count());
    EXPECT_EQ(FServer->PeerThreadCount(), 0);
    const auto Draining = TClock::now();
    EXPECT_EQ(AClients.CountSeeingClose(IdTest::FactLimit), static_cast<int>(AClients.Count()))
        << "every client sees the close";
    RecordProperty("AllClientsSawCloseMs", static_cast<int>(ElapsedMs(Draining)));
    AClients.CloseAll();
    FServer.reset();
    const auto Settling = TClock::now();
    EXPECT_TRUE(BackAt(FBaseline, IdTest::FactLimit));
    RecordProperty("SettleMs", static_cast<int>(ElapsedMs(Settling)));
  }

  TFacts FBaseline;
  std::unique_ptr<TIdTCPServer> FServer;
};

} // namespace

TEST_F(DeactivationUnderLoad, PeersBlockedReadingFromPassiveClients) {
  const int Peers = Scaled(2000);
  // A client and a server socket per connection, and room to spare.
  const TDescriptorLimit Limit(static_cast<rlim_t>(2 * Peers + 256));
  ASSERT_GE(TDescriptorLimit::Current(), static_cast<rlim_t>(2 * Peers + 256));
  std::atomic<int> Reading{0};
  FServer->SetListenQueue(Peers);
  FServer->OnExecute = [&Reading](TIdPeerThread& AThread) {
    Reading.fetch_add(1);
    AThread.PeerConnection()->ReadLine();
  };
  const int32_t Port = IdTest::StartOnLoopback(*FServer);
  TClientSockets Clients;
  const auto Start = TClock::now();
  ASSERT_TRUE(Clients.Connect(Port, Peers));
  ASSERT_TRUE(IdTest::WaitFor([&] { return Reading.load() == Peers; }, 60s));
  RecordProperty("Peers", Peers);
  RecordProperty("AllReadingMs", static_cast<int>(ElapsedMs(Start)));
  RecordProperty("PeakThreads", IdTest::ThreadCount());
  RecordProperty("PeakDescriptors", IdTest::OpenDescriptorCount());
  DeactivateAndCheck(Clients);
}

TEST_F(DeactivationUnderLoad, PeersBlockedSendingToClientsThatDoNotRead) {
  const int Peers = Scaled(200);
  std::mutex Lock;
  std::vector<pid_t> Writers;
  FServer->SetListenQueue(Peers);
  FServer->OnExecute = [&](TIdPeerThread& AThread) {
    {
      std::lock_guard<std::mutex> Guard(Lock);
      Writers.push_back(KernelThreadId());
    }
    const std::string Block(65536, 'x');
    for (;;)
      AThread.PeerConnection()->WriteText(Block);
  };
  const int32_t Port = IdTest::StartOnLoopback(*FServer);
  // Small buffers on both ends (accepted sockets take the listener's) keep what is in flight
  // when the peers block, and so what the clients read before they see the close, small.
  const int SendBuffer = 16384;
  ::setsockopt(static_cast<int>(FServer->Bindings().Items(0)->Descriptor()), SOL_SOCKET, SO_SNDBUF,
               &SendBuffer, sizeof(SendBuffer));
  TClientSockets Clients;
  const auto Start = TClock::now();
  ASSERT_TRUE(Clients.Connect(Port, Peers, 4096));
  // A writer stuck in the stack sits in its send or in the wait for room to send.
  ASSERT_TRUE(IdTest::WaitFor(
      [&] {
        std::lock_guard<std::mutex> Guard(Lock);
        if (Writers.size() != static_cast<size_t>(Peers)) return false;
        for (pid_t Tid : Writers)
          if (!IdTest::BlockedIn(Tid, {SYS_sendto, SYS_poll, SYS_ppoll})) return false;
        return true;
      },
      60s));
  RecordProperty("Peers", Peers);
  RecordProperty("AllBlockedMs", static_cast<int>(ElapsedMs(Start)));
  RecordProperty("RssKiB", static_cast<int>(ResidentKiB()));
  DeactivateAndCheck(Clients);
}
