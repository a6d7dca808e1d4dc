// SPDX-License-Identifier: MIT
// The listener when the process runs short: out of descriptors with more clients waiting than it
// can accept, it refuses them at once through its reserve descriptor, reports the shortage once,
// rests instead of spinning and serves again as soon as descriptors come free; refused a thread,
// it refuses that client as one over MaxConnections, reports the failure typed and serves the
// next client at once.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <set>
#include <system_error>
#include <vector>

#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/server/IdListenerThread.h"
#include "idframework/threads/IdThreadMgrDefault.h"
#include "stress/StressSupport.h"
#include "support/ChildProcess.h"

using namespace Id;
using namespace IdStress;

namespace {

// Records OnListenException without needing a descriptor (room reserved beforehand).
class TListenFailureLog {
public:
  TListenFailureLog() { FTimes.reserve(4096); }
  void Hook(TIdTCPServer& AServer) {
    AServer.OnListenException = [this](TIdListenerThread&, const Exception& E) {
      std::lock_guard<std::mutex> Guard(FLock);
      if (FTimes.size() < FTimes.capacity()) FTimes.push_back(TClock::now());
      if (FFirstMessage.empty()) FFirstMessage = E.Message();
      const auto* Socket = dynamic_cast<const EIdSocketError*>(&E);
      if (Socket && FFirstCode == 0) FFirstCode = Socket->SocketErrorCode();
    };
  }
  size_t Count() {
    std::lock_guard<std::mutex> Guard(FLock);
    return FTimes.size();
  }
  std::string FirstMessage() {
    std::lock_guard<std::mutex> Guard(FLock);
    return FFirstMessage;
  }
  int32_t FirstCode() {
    std::lock_guard<std::mutex> Guard(FLock);
    return FFirstCode;
  }

private:
  std::mutex FLock;
  std::vector<TClock::time_point> FTimes;
  std::string FFirstMessage;
  int32_t FFirstCode = 0;
};

void Echo(TIdPeerThread& AThread) {
  TIdTCPServerConnection& Connection = *AThread.PeerConnection();
  Connection.WriteLine(Connection.ReadLine());
}

std::set<pid_t> TaskIds() {
  std::set<pid_t> Ids;
  DIR* Dir = ::opendir("/proc/self/task");
  while (dirent* Entry = ::readdir(Dir))
    if (Entry->d_name[0] != '.') Ids.insert(static_cast<pid_t>(std::atoi(Entry->d_name)));
  ::closedir(Dir);
  return Ids;
}

// Fails the first AcquireThread as the system does when it cannot make another thread.
class TThreadRefusingMgr : public TIdThreadMgrDefault {
public:
  using TIdThreadMgrDefault::TIdThreadMgrDefault;
  TIdThread* AcquireThread() override {
    if (FRefusalsLeft.fetch_sub(1) > 0)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                              "no thread");
    return TIdThreadMgrDefault::AcquireThread();
  }
  std::atomic<int> FRefusalsLeft{1};
};

} // namespace

TEST(ResourceFailure, OutOfDescriptorsWaitingClientsAreRefusedAtOnceAndTheListenerRests) {
  const int Waiting = 48;                // clients queued beyond what can be accepted
  const int Spare = 16;                  // descriptors left for the server to take
  constexpr double CoreShareLimit = 0.2; // of one core, once every waiting client was told
  const std::chrono::milliseconds ServeAgainLimit = Quick(1500ms);

  const TNoParkedThreads OwnThreads; // the listener is told apart by its thread's id
  const TFacts Baseline = SettledBaseline();
  TListenFailureLog Failures;
  {
    TIdTCPServer Server(nullptr);
    Failures.Hook(Server);
    Server.SetListenQueue(Waiting + 8);
    Server.SetMaxConnections(1000); // the descriptor reserve is under test, not the machine's cap
    Server.MaxConnectionReply().SetCodeAndText(421, "busy");
    Server.OnExecute = Echo;
    const std::set<pid_t> Before = TaskIds();
    const int32_t Port = IdTest::StartOnLoopback(Server);
    IdleServerFacts(Baseline);
    std::set<pid_t> New;
    for (pid_t Tid : TaskIds())
      if (!Before.count(Tid)) New.insert(Tid);
    ASSERT_EQ(New.size(), 1u) << "the listener";
    const TThreadCpuProbe ListenerCpu(*New.begin());
    ASSERT_TRUE(ListenerCpu.IsOpen());
    const TFacts Idle = TFacts::Now();
    // The undefined-behaviour sanitizer needs a descriptor the first time it checks a dynamic
    // type; one client served and the hook's own check made once keep that out of the shortage.
    {
      IdTest::TRawPeer Warm(Port);
      Warm.SendLine("warm");
      ASSERT_EQ(Warm.ReadLine(), "warm");
      const EIdSocketError Sample(WSA::EMFILE_, "sample");
      try { // the listener's reserve socket fails so while descriptors are out
        throw EIdInvalidSocket();
      } catch (const Exception& E) {
        EXPECT_FALSE(E.Message().empty());
      }
      const Exception& AsBase = Sample;
      EXPECT_FALSE(AsBase.Message().empty());
      EXPECT_NE(dynamic_cast<const EIdSocketError*>(&AsBase), nullptr);
    }
    ASSERT_TRUE(BackAt(Idle, IdTest::FactLimit));

    std::vector<std::unique_ptr<IdTest::TRawPeer>> Clients;
    for (int I = 0; I < Waiting + Spare; ++I) {
      Clients.push_back(std::make_unique<IdTest::TRawPeer>());
      ASSERT_TRUE(Clients.back()->Open());
    }
    IdTest::TRawPeer Late;
    ASSERT_TRUE(Late.Open());
    {
      // Room for exactly Spare more above the highest descriptor; the filler closes any holes
      // below it, however many the parent process left.
      const TDescriptorLimit Low(static_cast<rlim_t>(IdTest::HighestOpenDescriptor() + 1 + Spare));
      const TDescriptorsTaken Filler(INT_MAX, Spare);
      for (auto& Client : Clients)
        ASSERT_TRUE(Client->Connect(Port)) << "queued in the backlog";
      // A listener that waits in the accept itself has one more client's descriptor already.
      const int WaitingInAccept = Id::GlobalStack()->ShutdownWakesAccept() ? 1 : 0;
      // The backlog is served in order: the first clients took the free descriptors.
      int Refused = 0;
      for (size_t I = Spare + WaitingInAccept; I < Clients.size(); ++I)
        Refused += Clients[I]->ReadLine(nullptr, IdTest::FactLimit) == "421 busy" ? 1 : 0;
      EXPECT_EQ(Refused, Waiting - WaitingInAccept) << "every client beyond the descriptors";
      EXPECT_EQ(Server.PeerThreadCount(), Spare + WaitingInAccept);
      EXPECT_EQ(Failures.Count(), 1u) << "one report for the shortage";
      EXPECT_EQ(Failures.FirstCode(), WSA::EMFILE_) << Failures.FirstMessage();
      const int64_t TicksBefore = ListenerCpu.Ticks();
      std::this_thread::sleep_for(1000ms);
      const int64_t CpuTicks = ListenerCpu.Ticks() - TicksBefore;
      EXPECT_LT(static_cast<double>(CpuTicks) / static_cast<double>(TicksPerSecond()),
                CoreShareLimit)
          << "the listener waits for the next client";
      RecordProperty("ListenerCpuTicksIn1s", static_cast<int>(CpuTicks));

      // The others leave; the late client must then be served soon, the limit still low.
      const auto Leaving = TClock::now();
      Clients.clear();
      ASSERT_TRUE(Late.Connect(Port));
      Late.SendLine("late");
      EXPECT_EQ(Late.ReadLine(nullptr, IdTest::FactLimit), "late");
      const int64_t ServedAgainMs = ElapsedMs(Leaving);
      EXPECT_LT(ServedAgainMs, ServeAgainLimit.count());
      RecordProperty("ServedAgainMs", static_cast<int>(ServedAgainMs));
    }
    Late.Close();
    EXPECT_EQ(Server.Counters().RefusedResources,
              Waiting - (Id::GlobalStack()->ShutdownWakesAccept() ? 1 : 0));
    EXPECT_TRUE(BackAt(Idle, IdTest::FactLimit));
  }
  EXPECT_TRUE(BackAt(Baseline, IdTest::FactLimit)) << "after the probe closed";
}

TEST(ResourceFailure, RefusedThreadReleasesTheSocketReportsOnceAndTheNextClientIsServed) {
  const TFacts Baseline = SettledBaseline();
  TThreadRefusingMgr Manager(nullptr);
  {
    TIdTCPServer Server(nullptr);
    Server.SetThreadMgr(&Manager);
    TListenFailureLog Failures;
    Failures.Hook(Server);
    Server.OnExecute = [](TIdPeerThread& AThread) {
      AThread.PeerConnection()->WriteText("test");
      AThread.PeerConnection()->CloseConnection();
    };
    const int32_t Port = IdTest::StartOnLoopback(Server);
    const TFacts Idle = IdleServerFacts(Baseline);

    IdTest::TRawPeer First(Port);
    bool Closed = false;
    EXPECT_EQ(First.ReadUntilClosed(&Closed), "");
    EXPECT_TRUE(Closed) << "the accepted socket is released";
    ASSERT_TRUE(IdTest::WaitFor([&] { return Failures.Count() == 1; }, IdTest::FactLimit));
    EXPECT_EQ(Failures.FirstMessage(), "Could not create thread: Resource temporarily unavailable");
    First.Close();
    EXPECT_TRUE(BackAt(Idle, IdTest::FactLimit)) << "nothing of the refused client is left";

    IdTest::TRawPeer Second(Port);
    EXPECT_EQ(Second.ReadUntilClosed(), "test") << "the next client is served";
    Second.Close();
    EXPECT_TRUE(BackAt(Idle, IdTest::FactLimit));
    EXPECT_EQ(Failures.Count(), 1u) << "reported once";
    EXPECT_EQ(Server.PeerThreadCount(), 0);
  }
  EXPECT_TRUE(BackAt(Baseline, IdTest::FactLimit));
}

#ifdef ID_THREAD_LIMIT_SERVER
// A thread limit met for real: the client for whom no thread can be made is told so at once
// with MaxConnectionReply (not closed without a word), the failure comes typed, the listener
// takes the next client at once, and serves again once a thread can be made.
TEST(ResourceFailure, AClientForWhomNoThreadCanBeMadeIsRefusedAtOnce) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root, to run the server as a user of its own under RLIMIT_NPROC";
  const IdTest::TTempDir Dir;
  IdTest::TChildProcess Server;
  ASSERT_TRUE(Server.Start({ID_THREAD_LIMIT_SERVER}, Dir.File("server.log")));
  const int32_t Port = Server.WaitForListeningPort();
  IdTest::WaitFor([&] { return Server.Exited() || Server.Log().rfind("limited\n", 0) == 0; },
                  IdTest::FactLimit);
  if (Server.Exited() && Server.ExitCode() == 3) GTEST_SKIP() << "no thread limit could be set";
  ASSERT_EQ(Server.Log().rfind("limited\n", 0), 0u) << Server.Log();
  ASSERT_NE(Port, 0);
  IdTest::TRawPeer Served(Port); // its peer thread is the last one the limit allows
  IdTest::TRawPeer Refused(Port);
  EXPECT_EQ(Refused.ReadUntilClosed(), "421 busy\r\n");
  IdTest::TRawPeer Next(Port);
  EXPECT_EQ(Next.ReadUntilClosed(), "421 busy\r\n");
  Served.SendLine("first");
  EXPECT_EQ(Served.ReadLine(), "first");
  EXPECT_TRUE(IdTest::WaitFor(
      [&] {
        IdTest::TRawPeer Later(Port);
        Later.SendLine("later");
        return Later.ReadLine() == "later";
      },
      IdTest::FactLimit))
      << "served once the thread of the first client has ended";
  const std::string Reported = Server.Log().substr(8);
  const std::string Typed =
      "EIdCouldNotCreateThread|Could not create thread: Resource temporarily unavailable\n";
  EXPECT_EQ(Reported.substr(0, 2 * Typed.size()), Typed + Typed);
  EXPECT_EQ(Reported.find("other|"), std::string::npos) << Reported;
}
#endif
