// SPDX-License-Identifier: MIT
// Descriptor numbers past 1100: the listening socket, the accepted one and the client all get
// numbers above the classic 1024-entry select set, and the stack's timed waits (the listener's
// accept steps, timed line reads, a poll for a closed peer, select itself) work on them. The
// default and release builds compile the framework with -D_FORTIFY_SOURCE=2, which aborts on a
// descriptor set indexed past its end.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "idframework/connection/IdIOHandlerSocket.h"
#include "idframework/core/IdException.h"
#include "idframework/net/IdStack.h"
#include "net/NetTestSupport.h"
#include "stress/StressSupport.h"

using namespace Id;
using namespace IdStress;

namespace {

constexpr int HighNumber = 1100;

#if defined(__OPTIMIZE__) && defined(_FORTIFY_SOURCE) && _FORTIFY_SOURCE >= 2
constexpr bool Fortified = true;
#else
constexpr bool Fortified = false;
#endif

struct TPeerSeen {
  std::mutex Lock;
  TIdSocketDescriptor Descriptor = InvalidSocketDescriptor;
  bool FirstTimedOut = false;
  std::string TimeoutMessage;
  std::string Line;
  bool Done = false;
};

} // namespace

TEST(HighDescriptors, TimedReadsWorkOnDescriptorsPast1100) {
  RecordProperty("Fortified", Fortified ? 1 : 0);
  const TFacts Baseline = SettledBaseline();
  const TDescriptorLimit Limit(std::max<rlim_t>(TDescriptorLimit::Current(), 4096));
  ASSERT_GE(TDescriptorLimit::Current(), rlim_t(2048));
  TPeerSeen Seen;
  {
    const TDescriptorsTaken Taken(HighNumber); // the next sockets get higher numbers
    TIdTCPServer Server(nullptr);
    Server.OnExecute = [&Seen](TIdPeerThread& AThread) {
      TIdTCPServerConnection& Connection = *AThread.PeerConnection();
      {
        std::lock_guard<std::mutex> Guard(Seen.Lock);
        Seen.Descriptor = Connection.SocketTransport()->Descriptor();
      }
      // A caller-given timeout that passes; then the default one, which raises.
      Connection.ReadLine(std::string(), 50);
      const bool TimedOut = Connection.LineTimedOut();
      Connection.SetReadTimeout(50);
      std::string Message;
      try {
        Connection.ReadLine();
      } catch (const EIdReadTimeout& E) {
        Message = E.Message();
      }
      Connection.SetReadTimeout(0);
      Connection.WriteLine("ready");
      const std::string Line = Connection.ReadLine(std::string(), 10000);
      Connection.WriteLine(Line);
      std::lock_guard<std::mutex> Guard(Seen.Lock);
      Seen.FirstTimedOut = TimedOut;
      Seen.TimeoutMessage = Message;
      Seen.Line = Line;
      Seen.Done = true;
    };
    const int32_t Port = IdTest::StartOnLoopback(Server);
    EXPECT_GT(static_cast<int>(Server.Bindings().Items(0)->Descriptor()), HighNumber);
    IdTest::TRawPeer Client(Port);
    EXPECT_EQ(Client.ReadLine(), "ready");
    Client.SendLine("high");
    EXPECT_EQ(Client.ReadLine(), "high");
    ASSERT_TRUE(IdTest::WaitFor([&] {
      std::lock_guard<std::mutex> Guard(Seen.Lock);
      return Seen.Done;
    }));
    {
      std::lock_guard<std::mutex> Guard(Seen.Lock);
      EXPECT_GT(static_cast<int>(Seen.Descriptor), HighNumber);
      EXPECT_TRUE(Seen.FirstTimedOut);
      EXPECT_EQ(Seen.TimeoutMessage, "Read Timeout");
      RecordProperty("PeerDescriptor", static_cast<int>(Seen.Descriptor));
    }

    // The stack's select on a high number directly: a timeout, then readability.
    IdTest::TPlatformStack Platform;
    TIdStack& Stack = Platform.Stack();
    const IdTest::TPair Pair = IdTest::ConnectedPair(Stack);
    EXPECT_GT(static_cast<int>(Pair.Server), HighNumber);
    TIdSocketDescriptorList Reads{Pair.Server};
    EXPECT_EQ(Stack.SockSelect(&Reads, nullptr, nullptr, 20), 0);
    ASSERT_EQ(Stack.SockSend(Pair.Client, "x", 1, 0), 1);
    Reads = {Pair.Server};
    EXPECT_EQ(Stack.SockSelect(&Reads, nullptr, nullptr, 5000), 1);
    IdTest::ClosePair(Stack, Pair);
    Server.SetActive(false);
  }
  EXPECT_TRUE(BackAt(Baseline, IdTest::FactLimit));
}
