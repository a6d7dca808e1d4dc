// Closing a socket from another thread: blocked calls wake at once, and no thread ever reaches
// another socket through the number of a closed one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "net/IdSocketHandle.h"
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

void Connect(TIdSocketHandle& AClient, int32_t APort) {
  AClient.OpenSocket();
  AClient.SetRemote("127.0.0.1", APort);
  ASSERT_EQ(AClient.ConnectToRemote(), 0);
}

} // namespace

// ------------------------------------------------------------------------------------------
// The stack

TEST_F(CrossThreadClose, CloseWakesABlockedAccept) {
  const IdTest::TListener L = IdTest::Listen(S());
  TIdSocketDescriptor Result = 0;
  int32_t Error = 0;
  TBlockedThread T([&] {
    std::string IP;
    int32_t Port;
    Result = S().SockAccept(L.Socket, IP, Port);
    Error = S().SockLastError();
  });
  ASSERT_TRUE(T.BlockedIn(IdTest::AcceptCalls));
  S().SockClose(L.Socket);
  ASSERT_TRUE(T.EndsPromptly());
  EXPECT_EQ(Result, InvalidSocketDescriptor);
  EXPECT_EQ(Error, 10038);
}

TEST_F(CrossThreadClose, CloseWakesABlockedSelect) {
  const IdTest::TPair P = IdTest::ConnectedPair(S());
  int32_t Result = 0, Error = 0;
  TBlockedThread T([&] {
    TIdSocketDescriptorList Read{P.Client};
    Result = S().SockSelect(&Read, nullptr, nullptr, TimeoutInfinite);
    Error = S().SockLastError();
  });
  ASSERT_TRUE(T.BlockedIn(IdTest::PollCalls));
  S().SockClose(P.Client);
  ASSERT_TRUE(T.EndsPromptly());
  EXPECT_EQ(Result, -1);
  EXPECT_EQ(Error, 10038);
  S().SockClose(P.Server);
}

TEST_F(CrossThreadClose, CloseWakesABlockedReceiveWithoutData) {
  const IdTest::TPair P = IdTest::ConnectedPair(S());
  int32_t Result = 1;
  TBlockedThread T([&] {
    char B;
    Result = S().SockRecv(P.Client, &B, 1, 0);
  });
  ASSERT_TRUE(T.BlockedIn(IdTest::RecvCalls));
  S().SockClose(P.Client);
  ASSERT_TRUE(T.EndsPromptly());
  EXPECT_LE(Result, 0);
  S().SockClose(P.Server);
}

TEST_F(CrossThreadClose, CloseWakesABlockedSend) {
  const IdTest::TPair P = IdTest::ConnectedPair(S());
  int32_t Result = 0, Error = 0;
  TBlockedThread T([&] {
    std::vector<char> Block(1 << 16, 'b');
    do
      Result = S().SockSend(P.Client, Block.data(), static_cast<int32_t>(Block.size()), 0);
    while (Result > 0); // until the peer's window and our buffer are full and send blocks
    Error = S().SockLastError();
  });
  ASSERT_TRUE(T.BlockedIn(IdTest::SendCalls));
  S().SockClose(P.Client);
  ASSERT_TRUE(T.EndsPromptly());
  EXPECT_EQ(Result, -1);
  EXPECT_EQ(Error, 10038);
  S().SockClose(P.Server);
}

TEST_F(CrossThreadClose, AReservedNumberStaysParkedUntilReleased) {
  const IdTest::TPair P = IdTest::ConnectedPair(S());
  ASSERT_TRUE(S().AcquireDescriptor(P.Client));
  S().SockClose(P.Client);
  EXPECT_FALSE(S().AcquireDescriptor(P.Client));
  const TIdSocketDescriptor Fresh = S().NewSocket(Id_SOCK_STREAM, 0);
  EXPECT_NE(Fresh, P.Client);
  char B;
  EXPECT_EQ(S().SockRecv(P.Client, &B, 1, 0), -1);
  EXPECT_EQ(S().SockLastError(), 10038);
  TIdSocketDescriptorList Read{P.Client};
  EXPECT_EQ(S().SockSelect(&Read, nullptr, nullptr, TimeoutInfinite), -1);
  // The socket itself is gone already: its peer sees the close.
  EXPECT_EQ(S().SockRecv(P.Server, &B, 1, 0), 0);
  S().ReleaseDescriptor(P.Client);
  const TIdSocketDescriptor Next = S().NewSocket(Id_SOCK_STREAM, 0);
  EXPECT_EQ(Next, P.Client); // the lowest free number again
  S().SockClose(Next);
  S().SockClose(Fresh);
  S().SockClose(P.Server);
}

TEST_F(CrossThreadClose, AReservedListenerFreesItsPortAtClose) {
  const IdTest::TListener L = IdTest::Listen(S());
  ASSERT_TRUE(S().AcquireDescriptor(L.Socket));
  S().SockClose(L.Socket);
  const TIdSocketDescriptor Again = S().NewSocket(Id_SOCK_STREAM, 0);
  EXPECT_EQ(S().SockBind(Again, Id_PF_INET, "127.0.0.1", L.Port), 0);
  S().SockClose(Again);
  S().ReleaseDescriptor(L.Socket);
}

// ------------------------------------------------------------------------------------------
// The handle

TEST_F(CrossThreadClose, AcceptReturnsFalseWhenAnotherThreadClosesTheListener) {
  TIdSocketHandle Listener, Served;
  StartListener(Listener);
  std::atomic<int> Accepted{-1};
  TBlockedThread T([&] { Accepted = Served.AcceptFrom(Listener.Descriptor()) ? 1 : 0; });
  ASSERT_TRUE(T.BlockedIn(IdTest::AcceptCalls));
  Listener.CloseDescriptor();
  ASSERT_TRUE(T.EndsPromptly());
  EXPECT_EQ(Accepted, 0);
  EXPECT_FALSE(Served.IsAllocated());
}

TEST_F(CrossThreadClose, AnEndlessWaitIsReleasedByCloseFromAnotherThread) {
  TIdSocketHandle Listener, Client, Served;
  StartListener(Listener);
  Connect(Client, Listener.Port());
  ASSERT_TRUE(Served.AcceptFrom(Listener.Descriptor()));
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

TEST_F(CrossThreadClose, ANumberClosedByAnotherThreadIsNotReusedUnderItsOwner) {
  TIdSocketHandle Listener, Client, Served;
  StartListener(Listener);
  Connect(Client, Listener.Port());
  ASSERT_TRUE(Served.AcceptFrom(Listener.Descriptor()));
  const TIdSocketDescriptor Old = Client.Descriptor();
  // Take every lower free number, so that Old would be the next one the system hands out.
  std::vector<int> Fillers;
  for (int Fd; (Fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
    if (static_cast<TIdSocketDescriptor>(Fd) > Old) {
      ::close(Fd);
      break;
    }
    Fillers.push_back(Fd);
  }
  std::thread([&] { Client.CloseDescriptor(); }).join();
  TIdSocketHandle Other, OtherServed;
  Connect(Other, Listener.Port());
  EXPECT_NE(Other.Descriptor(), Old);
  ASSERT_TRUE(OtherServed.AcceptFrom(Listener.Descriptor()));
  ASSERT_EQ(OtherServed.SendFrom("other", 5), 5);
  ASSERT_TRUE(Other.WaitReadable(5000));
  // The owner, late, still uses its old number: it gets an error, not the other's bytes.
  char Buffer[8];
  EXPECT_EQ(Client.ReceiveInto(Buffer, sizeof(Buffer)), -1);
  EXPECT_EQ(S().SockLastError(), 10038);
  // Reopening on the owner's thread gives the number back.
  Client.OpenSocket();
  EXPECT_EQ(Client.Descriptor(), Old);
  for (int Fd : Fillers)
    ::close(Fd);
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
      } catch (const EIdSocketError&) {
        continue; // closed under the connect
      }
      // Earlier rounds may have left connections whose client was closed; skip them.
      do {
        Served.CloseDescriptor();
        if (!Served.AcceptFrom(Listeners[W]->Descriptor())) {
          ++LostAccepts;
          return;
        }
      } while (Served.RemotePort() != MyPort);
      const std::string Tag = "worker" + std::to_string(W) + "round" + std::to_string(R) + ";";
      Served.SendFrom(Tag.data(), static_cast<int32_t>(Tag.size()));
      std::string Got;
      char Buffer[4];
      while (Got.size() < Tag.size()) {
        std::this_thread::yield(); // widens the gap between calls, where a close can fall
        const int32_t N = C.ReceiveInto(Buffer, sizeof(Buffer));
        if (N <= 0) break;
        Got.append(Buffer, static_cast<size_t>(N));
      }
      if (Tag.compare(0, Got.size(), Got) != 0) ++Foreign;
      ++(Got.size() == Tag.size() ? Complete : CutShort);
    }
  };
  auto Worker = [&](int W) {
    RunRounds(W);
    ++Finished;
  };
  std::vector<std::thread> Threads;
  for (int W = 0; W < Workers; ++W)
    Threads.emplace_back(Worker, W);
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
