// SPDX-License-Identifier: MIT
// The accept cycle: MaxConnections and its reply, failures reported through OnListenException
// with everything accepted released, and the refusal of waiting clients when the process is out
// of descriptors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>

#include "idframework/core/IdException.h"
#include "idframework/core/IdRFCReply.h"
#include "idframework/server/IdListenerThread.h"
#include "server/ServerTestSupport.h"

using namespace Id;
using namespace IdTest;

namespace {

using TClock = std::chrono::steady_clock;

// Keeps every connection open, answering each line with the same line.
void Echo(TIdPeerThread& AThread) {
  TIdTCPServerConnection& Connection = *AThread.PeerConnection();
  Connection.WriteLine(Connection.ReadLine());
}

void WriteTestAndClose(TIdPeerThread& AThread) {
  AThread.PeerConnection()->WriteText("test");
  AThread.PeerConnection()->CloseConnection();
}

// Records OnListenException: the listener it came from, its message and socket error code.
struct TListenFailures {
  void Hook(TIdTCPServer& AServer) {
    AServer.OnListenException = [this](TIdListenerThread& AThread, const Exception& E) {
      std::lock_guard<std::mutex> Guard(Lock);
      Listeners.push_back(&AThread);
      Messages.push_back(E.Message());
      const auto* Socket = dynamic_cast<const EIdSocketError*>(&E);
      Codes.push_back(Socket ? Socket->SocketErrorCode() : 0);
      Times.push_back(TClock::now());
    };
  }
  size_t Count() {
    std::lock_guard<std::mutex> Guard(Lock);
    return Messages.size();
  }
  std::mutex Lock;
  std::vector<TIdListenerThread*> Listeners;
  std::vector<std::string> Messages;
  std::vector<int32_t> Codes;
  std::vector<TClock::time_point> Times;
};

// A peer thread class that fails the first AFailures requests with what AFail throws.
TIdThreadClass FailingFirst(std::atomic<int>& AFailures, std::function<void()> AFail) {
  return [&AFailures, AFail](bool ACreateSuspended) -> std::unique_ptr<TIdThread> {
    if (AFailures.fetch_sub(1) > 0) AFail();
    return std::make_unique<TIdPeerThread>(ACreateSuspended);
  };
}

// Lowers the descriptor limit and takes every descriptor left below it; gives all back when
// released or destroyed.
class TDescriptorExhaustion {
public:
  TDescriptorExhaustion() {
    FTaken.push_back(::open("/dev/null", O_RDONLY));
    ::getrlimit(RLIMIT_NOFILE, &FSaved);
    rlimit Low = FSaved;
    Low.rlim_cur = static_cast<rlim_t>(HighestOpenDescriptor() + 16);
    ::setrlimit(RLIMIT_NOFILE, &Low);
    for (int Fd = ::dup(FTaken[0]); Fd >= 0; Fd = ::dup(FTaken[0]))
      FTaken.push_back(Fd);
  }
  ~TDescriptorExhaustion() { Release(); }
  void Release() {
    for (int Fd : FTaken)
      ::close(Fd);
    FTaken.clear();
    ::setrlimit(RLIMIT_NOFILE, &FSaved);
  }

private:
  rlimit FSaved{};
  std::vector<int> FTaken;
};

} // namespace

TEST(ListenerThread, MaxConnectionsRefusesTheThirdClientWithTheReply) {
  TIdTCPServer Server(nullptr);
  Server.SetMaxConnections(2);
  Server.ReplyTexts().Add()->SetCodeAndText(503, "Too many connections");
  Server.MaxConnectionReply().SetNumericCode(503); // its text comes from ReplyTexts
  Server.OnExecute = Echo;
  const int32_t Port = StartOnLoopback(Server);
  TRawPeer A(Port), B(Port);
  ASSERT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 2; }, FactLimit));

  TRawPeer C(Port);
  bool Closed = false;
  EXPECT_EQ(C.ReadUntilClosed(&Closed), "503 Too many connections\r\n");
  EXPECT_TRUE(Closed);

  A.SendLine("a");
  B.SendLine("b");
  EXPECT_EQ(A.ReadLine(), "a") << "the first two are not disturbed";
  EXPECT_EQ(B.ReadLine(), "b");
  EXPECT_EQ(Server.PeerThreadCount(), 2);

  A.Close();
  ASSERT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 1; }, FactLimit));
  TRawPeer D(Port);
  D.SendLine("d");
  EXPECT_EQ(D.ReadLine(), "d") << "a place freed is taken again";
}

TEST(ListenerThread, RefusedClientGetsNoBytesWhenTheReplyIsEmpty) {
  TIdTCPServer Server(nullptr);
  Server.SetMaxConnections(1);
  Server.OnExecute = Echo;
  const int32_t Port = StartOnLoopback(Server);
  TRawPeer A(Port);
  ASSERT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 1; }, FactLimit));
  TRawPeer B(Port);
  bool Closed = false;
  EXPECT_EQ(B.ReadUntilClosed(&Closed), "");
  EXPECT_TRUE(Closed);
}

TEST(ListenerThread, FailureAfterTheAcceptIsReportedAndTheClientReleased) {
  TIdTCPServer Server(nullptr);
  TListenFailures Failures;
  Failures.Hook(Server);
  std::atomic<int> FailuresLeft{1};
  Server.SetPeerThreadClass(FailingFirst(FailuresLeft, [] { throw EIdException("no thread"); }));
  Server.OnExecute = WriteTestAndClose;
  const int32_t Port = StartOnLoopback(Server);
  const int DescriptorsBefore = OpenDescriptorCount();

  TRawPeer First(Port);
  bool Closed = false;
  EXPECT_EQ(First.ReadUntilClosed(&Closed), "");
  EXPECT_TRUE(Closed) << "the accepted socket is closed, not left open";
  ASSERT_TRUE(WaitFor([&] { return Failures.Count() == 1; }, FactLimit));
  EXPECT_EQ(Failures.Messages[0], "no thread");
  EXPECT_EQ(Failures.Listeners[0]->ListenBinding(), Server.Bindings().Items(0));

  TRawPeer Second(Port);
  EXPECT_EQ(Second.ReadUntilClosed(), "test") << "the listener goes on";
  First.Close();
  Second.Close();
  EXPECT_TRUE(WaitFor([&] { return OpenDescriptorCount() == DescriptorsBefore; }, FactLimit));
}

TEST(ListenerThread, SystemRefusingAThreadIsReportedTypedAndTheClientRefused) {
  TIdTCPServer Server(nullptr);
  TListenFailures Failures;
  Failures.Hook(Server);
  std::atomic<int> FailuresLeft{2};
  Server.SetPeerThreadClass(FailingFirst(FailuresLeft, [] {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }));
  Server.OnExecute = WriteTestAndClose;
  const int32_t Port = StartOnLoopback(Server);
  TRawPeer First(Port), Second(Port);
  EXPECT_TRUE(First.WaitClosed());
  EXPECT_TRUE(Second.WaitClosed());
  ASSERT_TRUE(WaitFor([&] { return Failures.Count() == 2; }, FactLimit));
  EXPECT_EQ(Failures.Messages[1], "Could not create thread: Resource temporarily unavailable");
  TRawPeer Third(Port);
  EXPECT_EQ(Third.ReadUntilClosed(), "test");
}

TEST(ListenerThread, OutOfDescriptorsWaitingClientsAreRefusedAtOnceAndReportedOnce) {
  TIdTCPServer Server(nullptr);
  TListenFailures Failures;
  Failures.Hook(Server);
  Server.SetMaxConnections(1000); // the descriptor reserve is under test, not the machine's cap
  Server.MaxConnectionReply().SetCodeAndText(421, "busy");
  // Each client is kept until it sends a line, so that its descriptor stays taken.
  Server.OnExecute = [](TIdPeerThread& AThread) {
    AThread.PeerConnection()->ReadLine();
    WriteTestAndClose(AThread);
  };
  const int32_t Port = StartOnLoopback(Server);
  TRawPeer Holder, First, Second;
  ASSERT_TRUE(Holder.Open());
  ASSERT_TRUE(First.Open());
  ASSERT_TRUE(Second.Open());
  // The undefined-behaviour sanitizer needs a descriptor the first time it checks the dynamic
  // type behind a pointer or reference. One client served and the checks the failure hook makes
  // are done once beforehand, so that no first check falls into the exhaustion.
  {
    TRawPeer Warm(Port);
    Warm.SendLine("warm");
    EXPECT_EQ(Warm.ReadUntilClosed(), "test");
    const EIdSocketError Sample(WSA::EMFILE_, "sample");
    try { // the listener's reserve socket fails so while descriptors are out
      throw EIdInvalidSocket();
    } catch (const Exception& E) {
      EXPECT_FALSE(E.Message().empty());
    }
    const Exception& AsBase = Sample;
    EXPECT_FALSE(AsBase.Message().empty());
    EXPECT_EQ(dynamic_cast<const EIdSocketError&>(AsBase).SocketErrorCode(), WSA::EMFILE_);
  }
  ASSERT_TRUE(WaitFor([] { return LiveThreadCount() == 1; }, FactLimit)) << "only the listener";
  {
    TDescriptorExhaustion Exhaustion;
    // A listener that waits in the accept itself has the first client's descriptor already.
    if (GlobalStack()->ShutdownWakesAccept()) {
      ASSERT_TRUE(Holder.Connect(Port));
      ASSERT_TRUE(WaitFor([&] { return Server.PeerThreadCount() == 1; }, FactLimit));
    }
    ASSERT_TRUE(First.Connect(Port));
    EXPECT_EQ(First.ReadUntilClosed(), "421 busy\r\n") << "told at once, not left waiting";
    ASSERT_TRUE(Second.Connect(Port));
    EXPECT_EQ(Second.ReadUntilClosed(), "421 busy\r\n");
    std::lock_guard<std::mutex> Guard(Failures.Lock);
    ASSERT_EQ(Failures.Codes.size(), 1u) << "one report for the shortage";
    EXPECT_EQ(Failures.Codes[0], WSA::EMFILE_);
  }
  EXPECT_EQ(Server.Counters().RefusedResources, 2);
  TRawPeer Late(Port);
  Late.SendLine("x");
  EXPECT_EQ(Late.ReadUntilClosed(), "test") << "served at once when descriptors are free again";
  Holder.SendLine("x");
}
