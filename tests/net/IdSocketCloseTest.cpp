// SPDX-License-Identifier: MIT
// Closing a socket handle from another thread: blocked calls wake at once, the descriptor stays
// open until the last call has left it, and no thread ever reaches another socket through the
// number of a closed one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "idframework/core/IdAntiFreezeBase.h"
#include "idframework/net/IdSocketHandle.h"
#include "tests/net/NetTestSupport.h"

using namespace Id;
using IdTest::WaitFor;

namespace {

class CrossThreadClose : public testing::Test {
protected:
  TIdStack& S() { return FStack.Stack(); }
  IdTest::TPlatformStack FStack;
};

// Runs ABody on a thread that publishes its kernel id first; Done() once ABody returned.
class TBlockedThread {
public:
  template <class F> explicit TBlockedThread(F ABody) {
    FThread = std::thread([this, ABody] {
      FTid = IdTest::ThreadId();
      ABody();
      FDone = true;
    });
  }
  ~TBlockedThread() {
    if (FThread.joinable()) FThread.join();
  }
  bool BlockedIn(std::initializer_list<long> ACalls) { return IdTest::WaitBlockedIn(FTid, ACalls); }
  bool EndsPromptly() {
    return WaitFor([this] { return FDone.load(); });
  }

private:
  std::atomic<pid_t> FTid{0};
  std::atomic<bool> FDone{false};
  std::thread FThread;
};

void StartListener(TIdSocketHandle& L) {
  L.OpenSocket();
  L.SetIP("127.0.0.1");
  L.BindLocal();
  L.StartListening(15);
}

// A client handle connected to AListener, and the server end accepted into AServed.
void Connect(TIdSocketHandle& AClient, TIdSocketHandle& AListener, TIdSocketHandle& AServed) {
  AClient.OpenSocket();
  AClient.SetRemote("127.0.0.1", AListener.Port());
  ASSERT_EQ(AClient.ConnectToRemote(), 0);
  ASSERT_TRUE(AServed.AcceptFrom(AListener));
}

bool IsOpenDescriptor(TIdSocketDescriptor ADescriptor) {
  return ::fcntl(static_cast<int>(ADescriptor), F_GETFD) >= 0;
}

// Holds the calling thread inside its wait (in the idle step of the anti-freeze, which runs
// inside the handle's call) until released.
class THoldingAntiFreeze : public TIdAntiFreezeBase {
public:
  using TIdAntiFreezeBase::TIdAntiFreezeBase;
  void ProcessIdle() override {
    Inside = true;
    while (!Release)
      std::this_thread::yield();
  }
  std::atomic<bool> Inside{false};
  std::atomic<bool> Release{false};
};

} // namespace

TEST_F(CrossThreadClose, WakesABlockedAcceptWhichFindsNoConnection) {
  TIdSocketHandle Listener, Served;
  StartListener(Listener);
  std::atomic<int> Accepted{-1};
  TBlockedThread T([&] { Accepted = Served.AcceptFrom(Listener) ? 1 : 0; });
  ASSERT_TRUE(T.BlockedIn(IdTest::AcceptCalls));
  Listener.CloseDescriptor();
  ASSERT_TRUE(T.EndsPromptly());
  EXPECT_EQ(Accepted, 0);
  EXPECT_FALSE(Served.IsAllocated());
  EXPECT_FALSE(IsOpenDescriptor(Listener.Descriptor())) << "closed by the accept as it left";
}

TEST_F(CrossThreadClose, WakesAnEndlessWaitAsAGracefulEnd) {
  TIdSocketHandle Listener, Client, Served;
  StartListener(Listener);
  Connect(Client, Listener, Served);
  std::atomic<bool> Graceful{false};
  TBlockedThread T([&] {
    try {
      Client.WaitReadable(TimeoutInfinite);
    } catch (const EIdConnClosedGracefully&) {
      Graceful = true;
    }
  });
  ASSERT_TRUE(T.BlockedIn(IdTest::PollCalls));
  Client.CloseDescriptor();
  ASSERT_TRUE(T.EndsPromptly());
  EXPECT_TRUE(Graceful);
}

TEST_F(CrossThreadClose, WakesAReceiveWithTheEndAndASendWithTheClose) {
  TIdSocketHandle Listener, Reader, ReaderServed, Writer, WriterServed;
  StartListener(Listener);
  Connect(Reader, Listener, ReaderServed);
  Connect(Writer, Listener, WriterServed);
  std::atomic<int32_t> Received{1};
  std::atomic<bool> SendEndedByTheClose{false};
  TBlockedThread R([&] {
    char B;
    Received = Reader.ReceiveInto(&B, 1);
  });
  TBlockedThread W([&] {
    std::vector<char> Block(1 << 16, 'b');
    // Until the peer's window and our buffer are full and the send blocks. The woken send
    // fails as a socket that is gone, or returns what it took and the next one is refused.
    try {
      while (Writer.SendFrom(Block.data(), static_cast<int32_t>(Block.size())) > 0) {
      }
    } catch (const EIdSocketError& E) {
      SendEndedByTheClose = E.SocketErrorCode() == 10038;
    } catch (const EIdClosedSocket&) {
      SendEndedByTheClose = true;
    }
  });
  ASSERT_TRUE(R.BlockedIn(IdTest::RecvCalls));
  ASSERT_TRUE(W.BlockedIn(IdTest::SendCalls));
  Reader.CloseDescriptor();
  Writer.CloseDescriptor();
  ASSERT_TRUE(R.EndsPromptly());
  ASSERT_TRUE(W.EndsPromptly());
  EXPECT_EQ(Received, 0) << "the receive sees an orderly end";
  EXPECT_TRUE(SendEndedByTheClose);
  char B;
  EXPECT_THROW(Reader.ReceiveInto(&B, 1), EIdClosedSocket) << "later calls do not enter";
}

TEST_F(CrossThreadClose, TheDescriptorStaysOpenUntilTheLastCallHasLeft) {
  TIdSocketHandle Listener, Client, Served;
  StartListener(Listener);
  Connect(Client, Listener, Served);
  const TIdSocketDescriptor D = Client.Descriptor();
  THoldingAntiFreeze Holder(nullptr);
  Holder.IdleTimeOut = 1;
  std::atomic<bool> Graceful{false};
  std::thread Closer;
  // The anti-freeze works on the main thread only: the wait runs here, the close elsewhere.
  Closer = std::thread([&] {
    WaitFor([&] { return Holder.Inside.load(); });
    Client.CloseDescriptor();
    EXPECT_FALSE(Client.IsAllocated());
    EXPECT_TRUE(IsOpenDescriptor(D)) << "a call is inside: only shut down";
    Holder.Release = true;
  });
  try {
    Client.WaitReadable(TimeoutInfinite);
  } catch (const EIdConnClosedGracefully&) {
    Graceful = true;
  }
  Closer.join();
  EXPECT_TRUE(Graceful) << "a wait that a close fell into reports the close";
  EXPECT_FALSE(IsOpenDescriptor(D)) << "closed by the call as it left";
}

TEST_F(CrossThreadClose, ALateCallNeverReachesASocketThatReusedTheNumber) {
  TIdSocketHandle Listener, Client, Served;
  StartListener(Listener);
  Connect(Client, Listener, Served);
  const TIdSocketDescriptor Old = Client.Descriptor();
  std::thread([&] { Client.CloseDescriptor(); }).join();
  // The system hands the lowest free number out again: the old one, to another socket.
  TIdSocketHandle Other, OtherServed;
  Connect(Other, Listener, OtherServed);
  ASSERT_EQ(Other.Descriptor(), Old);
  ASSERT_EQ(OtherServed.SendFrom("other", 5), 5);
  ASSERT_TRUE(Other.WaitReadable(5000));
  char Buffer[8];
  EXPECT_THROW(Client.ReceiveInto(Buffer, sizeof(Buffer)), EIdClosedSocket);
  EXPECT_EQ(Other.ReceiveInto(Buffer, sizeof(Buffer)), 5) << "the other's bytes are still there";
}

TEST_F(CrossThreadClose, ReadersNeverSeeAnotherSocketsBytes) {
  // Workers connect, have their own server end send a tag, and read it back through the
  // client handle without checking IsAllocated (the widest form of the close race), while
  // another thread keeps closing client handles. A reused number would hand a worker
  // another worker's tag.
  constexpr int Workers = 4;
  constexpr int Rounds = 150;
  std::vector<std::unique_ptr<TIdSocketHandle>> Listeners, Clients;
  for (int W = 0; W < Workers; ++W) {
    Listeners.push_back(std::make_unique<TIdSocketHandle>());
    StartListener(*Listeners.back());
    Clients.push_back(std::make_unique<TIdSocketHandle>());
  }
  std::atomic<int> Foreign{0}, Complete{0}, CutShort{0}, LostAccepts{0}, Finished{0};
  auto ReadTag = [](TIdSocketHandle& C, size_t ALength) {
    std::string Got;
    char Buffer[4];
    try {
      while (Got.size() < ALength) {
        std::this_thread::yield(); // widens the gap between calls, where a close can fall
        const int32_t N = C.ReceiveInto(Buffer, sizeof(Buffer));
        if (N <= 0) break;
        Got.append(Buffer, static_cast<size_t>(N));
      }
    } catch (const EIdException&) {
      // closed under the read
    }
    return Got;
  };
  auto RunRounds = [&](int W) {
    TIdSocketHandle& C = *Clients[W];
    TIdSocketHandle Served;
    for (int R = 0; R < Rounds; ++R) {
      int32_t MyPort = 0;
      try {
        C.OpenSocket();
        C.SetRemote("127.0.0.1", Listeners[W]->Port());
        if (C.ConnectToRemote() != 0) continue;
        MyPort = C.Port();
      } catch (const EIdException&) {
        continue; // closed under the connect
      }
      // Earlier rounds may have left connections whose client was closed; skip them.
      do {
        Served.CloseDescriptor();
        if (!Served.AcceptFrom(*Listeners[W])) {
          ++LostAccepts;
          return;
        }
      } while (Served.RemotePort() != MyPort);
      const std::string Tag = "worker" + std::to_string(W) + "round" + std::to_string(R) + ";";
      Served.SendFrom(Tag.data(), static_cast<int32_t>(Tag.size()));
      const std::string Got = ReadTag(C, Tag.size());
      if (Tag.compare(0, Got.size(), Got) != 0) ++Foreign;
      ++(Got.size() == Tag.size() ? Complete : CutShort);
    }
  };
  std::vector<std::thread> Threads;
  for (int W = 0; W < Workers; ++W)
    Threads.emplace_back([&, W] {
      RunRounds(W);
      ++Finished;
    });
  std::thread Closer([&] {
    std::mt19937 Random(7);
    while (Finished < Workers) {
      Clients[Random() % Workers]->CloseDescriptor();
      for (unsigned Spin = Random() % 4; Spin > 0; --Spin)
        std::this_thread::yield();
    }
  });
  for (auto& T : Threads)
    T.join();
  Closer.join();
  EXPECT_EQ(LostAccepts, 0);
  EXPECT_EQ(Foreign, 0);
  EXPECT_GT(Complete, 0);
  EXPECT_GT(CutShort, 0);
}
