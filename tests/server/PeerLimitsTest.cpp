// SPDX-License-Identifier: MIT
// The server's limits for its peers: a client that drips a line, one that never reads its
// replies and one that sends nothing are each cut off at their limit while a fresh client is
// served; at most MaxConnectionsPerAddress clients from one address; the counters of it all.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "server/ServerTestSupport.h"

using namespace Id;
using namespace IdTest;
using namespace std::chrono_literals;

namespace {

// A server that echoes lines, recording the message of the exception that ended each peer.
struct TEchoServer {
  TEchoServer() {
    Server.OnExecute = [](TIdPeerThread& AThread) {
      TIdTCPServerConnection& Connection = *AThread.PeerConnection();
      Connection.WriteLine(Connection.ReadLine());
    };
    Server.OnException = [this](TIdPeerThread&, const Exception& E) {
      std::lock_guard<std::mutex> Guard(Lock);
      Ended.push_back(E.Message());
    };
  }
  bool EndedWith(const std::string& AText) {
    return WaitFor([&] {
      std::lock_guard<std::mutex> Guard(Lock);
      return std::find(Ended.begin(), Ended.end(), AText) != Ended.end();
    });
  }
  // A fresh client is answered while the others are held.
  void ServesAFreshClient(int32_t APort) {
    TRawPeer Fresh(APort);
    Fresh.SendLine("fresh");
    EXPECT_EQ(Fresh.ReadLine(), "fresh");
  }
  // Declared first, so that they outlive the server's peers, which report until it goes.
  std::mutex Lock;
  std::vector<std::string> Ended;
  TIdTCPServer Server{nullptr};
};

} // namespace

TEST(PeerLimits, ADrippingClientIsCutOffAtTheLineDeadline) {
  TEchoServer Echo;
  Echo.Server.SetLineTimeout(300);
  const int32_t Port = StartOnLoopback(Echo.Server);
  TRawPeer Dripper(Port);
  std::atomic<bool> Cut{false};
  std::thread Drip([&] {
    for (int I = 0; I < 400 && !Cut; ++I) {
      if (!Dripper.Send("x")) break;
      std::this_thread::sleep_for(25ms); // the pace of the client under test
    }
  });
  Echo.ServesAFreshClient(Port);
  EXPECT_TRUE(Echo.EndedWith(EIdLineTimeout().Message()));
  Cut = true;
  Drip.join();
  EXPECT_TRUE(Dripper.WaitClosed());
  EXPECT_EQ(Echo.Server.Counters().TimedOutLine, 1);
}

// The buffers fill at once; from then on the peer takes nothing, and the send ends one write
// timeout later, not when a send that took part of the data has waited out a whole limit of its
// own on top.
TEST(PeerLimits, AClientThatNeverReadsIsCutOffAtTheWriteTimeout) {
  TEchoServer Echo;
  Echo.Server.SetWriteTimeout(500);
  const std::string Data(1 << 20, 'x'); // far more than the buffers below hold
  std::atomic<std::chrono::steady_clock::rep> Began{0};
  Echo.Server.OnExecute = [&](TIdPeerThread& AThread) {
    TIdTCPServerConnection& Connection = *AThread.PeerConnection();
    const int Small = 65536; // a fixed size that does not grow as the kernel's own would
    Connection.SocketTransport()->SocketHandle()->SetOption(Id_SOL_SOCKET, Id_SO_SNDBUF, &Small,
                                                            sizeof(Small));
    Began = std::chrono::steady_clock::now().time_since_epoch().count();
    Connection.WriteText(Data);
  };
  const int32_t Port = StartOnLoopback(Echo.Server);
  TRawPeer Sink; // never reads, and its small buffer is full at once
  ASSERT_TRUE(Sink.Open());
  const int Small = 4096;
  ::setsockopt(Sink.Fd(), SOL_SOCKET, SO_RCVBUF, &Small, sizeof(Small));
  ASSERT_TRUE(Sink.Connect(Port));
  EXPECT_TRUE(Echo.EndedWith(EIdWriteTimeout().Message()));
  const std::chrono::steady_clock::duration Took{
      std::chrono::steady_clock::now().time_since_epoch().count() - Began};
  EXPECT_LT(Took, 750ms);
  EXPECT_EQ(Echo.Server.Counters().TimedOutWrite, 1);
  EXPECT_GT(Echo.Server.Counters().BytesOut, 65536);
}

TEST(PeerLimits, AClientThatSendsNothingIsCutOffAtTheIdleTimeout) {
  TEchoServer Echo;
  Echo.Server.SetIdleTimeout(300);
  const int32_t Port = StartOnLoopback(Echo.Server);
  TRawPeer Silent(Port);
  Echo.ServesAFreshClient(Port);
  EXPECT_TRUE(Echo.EndedWith(EIdIdleTimeout().Message()));
  EXPECT_TRUE(Silent.WaitClosed());
  EXPECT_EQ(Echo.Server.Counters().TimedOutIdle, 1);
  EXPECT_EQ(Echo.Server.Counters().BytesIn, 7) << "the fresh client's line";
}

TEST(PeerLimits, OneAddressHoldsAtMostMaxConnectionsPerAddress) {
  TEchoServer Echo;
  Echo.Server.SetMaxConnectionsPerAddress(2);
  Echo.Server.MaxConnectionReply().SetCodeAndText(421, "busy");
  const int32_t Port = StartOnLoopback(Echo.Server);
  auto First = std::make_unique<TRawPeer>(Port);
  TRawPeer Second(Port);
  ASSERT_TRUE(WaitFor([&] { return Echo.Server.PeerThreadCount() == 2; }));
  TRawPeer Third(Port);
  EXPECT_EQ(Third.ReadUntilClosed(), "421 busy\r\n");
  First.reset();
  ASSERT_TRUE(WaitFor([&] { return Echo.Server.PeerThreadCount() == 1; }));
  Echo.ServesAFreshClient(Port);
  const TIdServerCounters Counts = Echo.Server.Counters();
  EXPECT_EQ(Counts.RefusedPerAddress, 1);
  EXPECT_EQ(Counts.Accepted, 4);
}
