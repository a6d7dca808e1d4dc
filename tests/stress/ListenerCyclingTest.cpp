// SPDX-License-Identifier: MIT
// Listener cycling: one server switched on and off many times on the same port, each time after
// serving a client (whose connection the server closes first, so the port has connections in
// TIME_WAIT): with ReuseSocket rsTrue the bind never finds the address in use, the descriptor
// count does not drift, and a waiting listener stops promptly.
#include <gtest/gtest.h>

#include <algorithm>

#include "stress/StressSupport.h"

using namespace Id;
using namespace IdStress;

namespace {

const int Cycles = Scaled(200);
constexpr std::chrono::milliseconds ListenerStopLimit = Quick(150ms);

} // namespace

TEST(ListenerCycling, ReusedPortNeverInUseAndDescriptorsConstant) {
  const TFacts Baseline = SettledBaseline();
  int64_t SlowestStopMs = 0;
  int64_t TotalStopMs = 0;
  {
    TIdTCPServer Server(nullptr);
    Server.SetReuseSocket(TIdReuseSocket::rsTrue);
    Server.OnExecute = [](TIdPeerThread& AThread) {
      AThread.PeerConnection()->WriteText("test");
      AThread.PeerConnection()->CloseConnection();
    };
    const int32_t Port = IdTest::StartOnLoopback(Server);
    int DescriptorsWhenStopped = -1;
    const auto Start = TClock::now();
    for (int Cycle = 0; Cycle < Cycles; ++Cycle) {
      if (Cycle > 0) {
        ASSERT_NO_THROW(Server.SetActive(true)) << "cycle " << Cycle;
        ASSERT_EQ(Server.Bindings().Items(0)->Port(), Port);
      }
      {
        IdTest::TRawPeer Client(Port);
        bool Closed = false;
        ASSERT_EQ(Client.ReadUntilClosed(&Closed), "test") << "cycle " << Cycle;
        ASSERT_TRUE(Closed);
      }
      // The listener is back in its wait once the peer thread is gone and its next transport
      // is ready.
      ASSERT_TRUE(IdTest::WaitFor([&] { return Server.PeerThreadCount() == 0; }));
      ASSERT_TRUE(IdTest::WaitFor([&] { return DebugCounts().Threads == 1; }));
      const auto Stopping = TClock::now();
      Server.SetActive(false);
      const int64_t StopMs = ElapsedMs(Stopping);
      SlowestStopMs = std::max(SlowestStopMs, StopMs);
      TotalStopMs += StopMs;
      EXPECT_LT(StopMs, ListenerStopLimit.count()) << "cycle " << Cycle;
      if (DescriptorsWhenStopped < 0) DescriptorsWhenStopped = IdTest::OpenDescriptorCount();
      ASSERT_EQ(IdTest::OpenDescriptorCount(), DescriptorsWhenStopped) << "cycle " << Cycle;
    }
    RecordProperty("Cycles", Cycles);
    RecordProperty("TotalMs", static_cast<int>(ElapsedMs(Start)));
    RecordProperty("SlowestStopMs", static_cast<int>(SlowestStopMs));
    RecordProperty("MeanStopMs", static_cast<int>(TotalStopMs / Cycles));
  }
  EXPECT_TRUE(BackAt(Baseline, IdTest::FactLimit));
}
