// SPDX-License-Identifier: MIT
// The live counts go up with every socket handle, connection and framework thread made and back
// down when each goes, also when a server made and dropped them on its own threads.
#include <gtest/gtest.h>

#include <memory>

#include "idframework/connection/IdTCPConnection.h"
#include "idframework/core/detail/IdDebugCounters.h"
#include "idframework/net/IdSocketHandle.h"
#include "stress/StressSupport.h"

using namespace Id;
using namespace IdStress;

namespace {

class TIdleThread : public TIdThread {
public:
  TIdleThread() : TIdThread(true) {}
  ~TIdleThread() override { TerminateWakeAndWait(); }

protected:
  void RunStep() override { StopRunning(); }
};

} // namespace

TEST(DebugCounters, EachKindCountsItsLiveObjects) {
  const TIdDebugCounts Before = DebugCounts();
  {
    TIdSocketHandle Handle;
    TIdTCPConnection Connection(nullptr);
    TIdleThread Thread;
    const TIdDebugCounts During = DebugCounts();
    EXPECT_EQ(During.SocketHandles, Before.SocketHandles + 1);
    EXPECT_EQ(During.Connections, Before.Connections + 1);
    EXPECT_EQ(During.Threads, Before.Threads + 1);
  }
  EXPECT_EQ(DebugCounts(), Before);
}

TEST(DebugCounters, AServedConnectionIsCountedWhileItLastsAndReleasedAfter) {
  const TFacts Baseline = SettledBaseline();
  {
    TIdTCPServer Server(nullptr);
    Server.OnExecute = [](TIdPeerThread& AThread) {
      TIdTCPServerConnection& Connection = *AThread.PeerConnection();
      Connection.WriteLine(Connection.ReadLine());
    };
    const int32_t Port = IdTest::StartOnLoopback(Server);
    const TFacts Idle = IdleServerFacts(Baseline);
    EXPECT_EQ(Idle.Counts.SocketHandles, Baseline.Counts.SocketHandles + 3)
        << "the binding, the listener's reserve, and the transport it waits to accept into";
    EXPECT_EQ(Idle.Counts.Threads, Baseline.Counts.Threads + 1) << "the listener";
    {
      IdTest::TRawPeer Client(Port);
      Client.SendLine("x");
      ASSERT_EQ(Client.ReadLine(), "x");
      EXPECT_TRUE(IdTest::WaitFor([&] {
        const TIdDebugCounts Serving = DebugCounts();
        return Serving.SocketHandles == Idle.Counts.SocketHandles + 1 &&
               Serving.Connections == Idle.Counts.Connections + 1 &&
               Serving.Threads == Idle.Counts.Threads + 1;
      })) << "one socket handle, one connection and one peer thread more while served";
    }
    EXPECT_TRUE(BackAt(Idle, IdTest::FactLimit));
  }
  EXPECT_TRUE(BackAt(Baseline, IdTest::FactLimit));
}
