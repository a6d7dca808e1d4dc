// SPDX-License-Identifier: MIT
// Bounded load: many clients at once and many in a row are all served, and the server leaves no
// descriptor and no thread behind.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "idframework/core/IdRFCReply.h"
#include "server/ServerTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

constexpr int ConcurrentClients = 200;
constexpr int SequentialConnections = 20000;
constexpr std::chrono::milliseconds SettleLimit{30000};

struct TBaseline {
  TBaseline() {
    // Runtimes that start a helper thread with the first thread (ThreadSanitizer does) have it
    // before the count is taken.
    std::thread([] {}).join();
    Threads = WorkingThreadCount();
    Descriptors = OpenDescriptorCount();
  }
  int Descriptors = 0;
  int Threads = 0;

  void ExpectRestored() const {
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptorCount() == Descriptors; }, SettleLimit))
        << OpenDescriptorCount() << " descriptors open, " << Descriptors << " before";
    EXPECT_TRUE(WaitFor([&] { return WorkingThreadCount() == Threads; }, SettleLimit))
        << WorkingThreadCount() << " threads, " << Threads << " before";
  }
};

} // namespace

TEST(ServerLoad, ConcurrentClientsAreServedAndDroppedTogether) {
  const TBaseline Baseline;
  {
    TIdTCPServer Server(nullptr);
    Server.SetListenQueue(ConcurrentClients);
    // Every peer thread looks the greeting's text up at the same moment.
    Server.ReplyTexts().Add()->SetCodeAndText(220, "Welcome");
    Server.Greeting().SetNumericCode(220);
    Server.OnExecute = [](TIdPeerThread& AThread) {
      TIdTCPServerConnection& Connection = *AThread.PeerConnection();
      Connection.WriteLine(Connection.ReadLine());
    };
    const int32_t Port = StartOnLoopback(Server);
    std::vector<std::unique_ptr<TRawPeer>> Clients;
    for (int I = 0; I < ConcurrentClients; ++I) {
      Clients.push_back(std::make_unique<TRawPeer>());
      ASSERT_TRUE(Clients.back()->Connect(Port)) << "client " << I;
    }
    ASSERT_TRUE(
        WaitFor([&] { return Server.PeerThreadCount() == ConcurrentClients; }, SettleLimit));
    for (int I = 0; I < ConcurrentClients; ++I)
      Clients[I]->SendLine("line " + std::to_string(I));
    for (int I = 0; I < ConcurrentClients; ++I) {
      ASSERT_EQ(Clients[I]->ReadLine(), "220 Welcome");
      ASSERT_EQ(Clients[I]->ReadLine(), "line " + std::to_string(I));
    }

    // Every peer thread is now blocked reading its next line.
    EXPECT_NO_THROW(Server.SetActive(false)) << "all end within TerminateWaitTime";
    EXPECT_EQ(Server.PeerThreadCount(), 0);
    for (auto& Client : Clients)
      EXPECT_TRUE(Client->WaitClosed());
  }
  Baseline.ExpectRestored();
}

TEST(ServerLoad, SequentialConnectionsAreAllServed) {
  const TBaseline Baseline;
  int Served = 0;
  const auto Start = std::chrono::steady_clock::now();
  {
    TIdTCPServer Server(nullptr);
    Server.OnExecute = [](TIdPeerThread& AThread) {
      AThread.PeerConnection()->WriteText("test");
      AThread.PeerConnection()->CloseConnection();
    };
    const int32_t Port = StartOnLoopback(Server);
    for (int I = 0; I < SequentialConnections; ++I) {
      TRawPeer Client(Port);
      bool Closed = false;
      if (Client.ReadUntilClosed(&Closed) == "test" && Closed) ++Served;
    }
  }
  const auto Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - Start);
  RecordProperty("ElapsedMs", static_cast<int>(Elapsed.count()));
  EXPECT_EQ(Served, SequentialConnections);
  Baseline.ExpectRestored();
}
