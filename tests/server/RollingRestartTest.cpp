// SPDX-License-Identifier: MIT
// Restarts that lose no client, with the example line server as the service: HAProxy in front of
// two instances whose listening sockets systemd-socket-activate holds, each instance drained and
// restarted in turn while clients keep coming through the balancer and straight to an instance;
// and two processes on one port with SO_REUSEPORT, one of which stops while its clients finish.
// A test skips only when a program it runs is not installed.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/Balancers.h"
#include "server/ServiceManager.h"
#include "support/ChildProcess.h"

using namespace IdTest;

namespace {

const std::string SocketActivate = "/usr/bin/systemd-socket-activate";

// Clients of the line server, one after the other on each of AThreads threads until Stop: each
// connects (sending AHeader first when given), reads the greeting, has a line echoed and quits.
// Any other outcome is a failure; a refused connect is counted apart as well.
class TLineLoad {
public:
  TLineLoad(int32_t APort, int AThreads, std::string AHeader = std::string())
      : FPort(APort), FHeader(std::move(AHeader)) {
    for (int I = 0; I < AThreads; ++I)
      FThreads.emplace_back([this, I] { Run(I); });
  }
  ~TLineLoad() { Stop(); }

  void Stop() {
    FStop = true;
    for (std::thread& T : FThreads)
      if (T.joinable()) T.join();
  }
  int Attempts() const { return FAttempts; }
  int Succeeded() const { return FAttempts - FFailures; }
  int Failures() const { return FFailures; }
  int Refused() const { return FRefused; }
  int64_t LongestMs() const { return FLongestMs; }
  std::string FirstFailure() {
    std::lock_guard<std::mutex> Guard(FLock);
    return FFirstFailure;
  }
  /// Waits until ACount more exchanges than now have succeeded.
  bool WaitForMore(int ACount) {
    const int Target = Succeeded() + ACount;
    return WaitFor([&] { return Succeeded() >= Target || FFailures > 0; }, FactLimit * 3);
  }

private:
  void Run(int AThread) {
    for (int N = 0; !FStop; ++N) {
      const auto Start = std::chrono::steady_clock::now();
      const std::string Fault = Exchange(std::to_string(AThread) + "." + std::to_string(N));
      const auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - Start)
                          .count();
      for (int64_t Seen = FLongestMs; Ms > Seen && !FLongestMs.compare_exchange_weak(Seen, Ms);) {
      }
      ++FAttempts;
      if (Fault.empty()) continue;
      ++FFailures;
      std::lock_guard<std::mutex> Guard(FLock);
      if (FFirstFailure.empty()) FFirstFailure = Fault;
    }
  }
  // Empty when the exchange went as it should, else what went wrong.
  std::string Exchange(const std::string& AText) {
    TRawPeer Peer(FPort);
    if (!Peer.IsOpen()) return ++FRefused, "refused";
    if (!FHeader.empty()) Peer.Send(FHeader);
    std::string Line = Peer.ReadLine();
    if (Line != "200 Line server ready") return "greeting: " + Line;
    Peer.SendLine("ECHO " + AText);
    if ((Line = Peer.ReadLine()) != "250 " + AText) return "echo: " + Line;
    Peer.SendLine("QUIT");
    if ((Line = Peer.ReadLine()) != "221 Bye") return "quit: " + Line;
    return std::string();
  }

  const int32_t FPort;
  const std::string FHeader;
  std::atomic<bool> FStop{false};
  std::atomic<int> FAttempts{0}, FFailures{0}, FRefused{0};
  std::atomic<int64_t> FLongestMs{0};
  std::mutex FLock;
  std::string FFirstFailure;
  std::vector<std::thread> FThreads;
};

// The command line of examples/systemd/lineserver@.service for the instance of APort.
std::vector<std::string> ServiceCommand(int32_t APort) {
  const std::string Unit =
      ReadTextFile(std::string(ID_EXAMPLES_DIR) + "/systemd/lineserver@.service");
  const size_t At = Unit.find("\nExecStart=") + 11;
  std::istringstream Words(Unit.substr(At, Unit.find('\n', At) - At));
  std::vector<std::string> Command;
  for (std::string Word; Words >> Word;)
    Command.push_back(Command.empty() ? ID_LINESERVER
                      : Word == "%i"  ? std::to_string(APort)
                                      : Word);
  return Command;
}

// One instance behind the balancer as systemd runs it with the example's units: systemd-socket-
// activate holds the listening socket, and a shell loop in its place starts the service's command
// twice in a row, as the service manager does when a service is restarted; each run gets the
// socket with LISTEN_PID naming it, and reports to a NOTIFY_SOCKET of its own.
class TActivatedInstance {
public:
  explicit TActivatedInstance(const TTempDir& ADir, const std::string& AName)
      : FManager(ADir.File(AName + ".notify"), false) {
    const std::string Loop = "for run in 1 2; do /bin/sh -c 'export LISTEN_PID=$$; exec \"$@\"' "
                             "sh \"$@\"; done";
    for (int Try = 0; Try < 3 && FPort == 0; ++Try) {
      const int32_t Port = RecentlyFreeLoopbackPort();
      std::vector<std::string> Args = {SocketActivate,
                                       "-l",
                                       "127.0.0.1:" + std::to_string(Port),
                                       "-E",
                                       "NOTIFY_SOCKET=" + FManager.Name(),
                                       "/bin/sh",
                                       "-c",
                                       Loop,
                                       "sh"};
      for (const std::string& Word : ServiceCommand(Port))
        Args.push_back(Word);
      FHolder.Start(Args, ADir.File(AName + ".log"));
      FPort = FHolder.WaitForListeningPort(Port);
    }
    // The first run starts with the first client.
    TRawPeer(FPort).Send("PROXY UNKNOWN\r\n");
    FRunning = NextReady();
  }
  ~TActivatedInstance() {
    if (FRunning > 0) ::kill(FRunning, SIGTERM); // the last run: the loop ends with it
    WaitFor([&] { return FHolder.Exited(); });
  }

  int32_t Port() const noexcept { return FPort; }
  pid_t Running() const noexcept { return FRunning; }
  std::string Log() const { return FHolder.Log(); }
  /// Stops the running server (it drains); false when the service manager did not hear
  /// STOPPING=1 from it.
  bool Stop() {
    FStopped = FRunning;
    ::kill(FStopped, SIGTERM);
    pid_t Sender = 0;
    return FManager.Next(10000, &Sender) == "STOPPING=1" && Sender == FStopped;
  }
  /// Waits until the next run is ready; false when no new process said READY=1.
  bool Restarted() {
    FRunning = NextReady();
    return FRunning > 0 && FRunning != FStopped;
  }

private:
  pid_t NextReady() {
    pid_t Sender = 0;
    return FManager.Next(10000, &Sender) == "READY=1" ? Sender : 0;
  }

  TNotifyListener FManager;
  TChildProcess FHolder;
  int32_t FPort = 0;
  pid_t FRunning = 0;
  pid_t FStopped = 0;
};

} // namespace

TEST(RollingRestart, BehindHAProxyEachActivatedInstanceRestartsInTurnAndNoClientFails) {
#ifndef ID_LINESERVER
  GTEST_SKIP() << "the examples are not built";
#else
  if (!TBalancer::Installed(TBalancerKind::bkHAProxy) || !IsProgram(SocketActivate))
    GTEST_SKIP() << "HAProxy or systemd-socket-activate is not installed";
  TTempDir Dir;
  TActivatedInstance One(Dir, "one"), Two(Dir, "two");
  ASSERT_GT(One.Running(), 0) << One.Log();
  ASSERT_GT(Two.Running(), 0) << Two.Log();
  TBalancer Balancer;
  ASSERT_TRUE(Balancer.Start({TBalancerKind::bkHAProxy, {One.Port(), Two.Port()}, "", false}))
      << Balancer.Log();
  const auto Start = std::chrono::steady_clock::now();
  TLineLoad Through(Balancer.Port(), 3);
  TLineLoad Straight(One.Port(), 1, "PROXY TCP4 192.0.2.1 127.0.0.1 4321 80\r\n");
  ASSERT_TRUE(Through.WaitForMore(1000) && Straight.WaitForMore(200)) << Through.FirstFailure();
  std::string Restarts;
  for (TActivatedInstance* Instance : {&One, &Two}) {
    // A client the stopping server has accepted finishes with it; the next run takes the others.
    TRawPeer Held(Instance->Port());
    Held.Send("PROXY UNKNOWN\r\n");
    ASSERT_EQ(Held.ReadLine(), "200 Line server ready");
    const auto Stopping = std::chrono::steady_clock::now();
    ASSERT_TRUE(Instance->Stop()) << Instance->Log();
    Held.SendLine("QUIT");
    EXPECT_EQ(Held.ReadLine(), "221 Bye");
    ASSERT_TRUE(Instance->Restarted()) << Instance->Log();
    Restarts += " " +
                std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - Stopping)
                                   .count()) +
                " ms";
    ASSERT_TRUE(Through.WaitForMore(1000) && Straight.WaitForMore(200)) << Through.FirstFailure();
  }
  Through.Stop();
  Straight.Stop();
  const auto Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start);
  std::printf("rolling restart in %.1f s: %d exchanges through HAProxy, %d failed; %d straight "
              "to an instance, %d failed, %d refused; longest exchange %lld ms and %lld ms; stop "
              "to ready:%s\n",
              Seconds.count(), Through.Attempts(), Through.Failures(), Straight.Attempts(),
              Straight.Failures(), Straight.Refused(), static_cast<long long>(Through.LongestMs()),
              static_cast<long long>(Straight.LongestMs()), Restarts.c_str());
  EXPECT_EQ(Through.Failures(), 0) << Through.FirstFailure();
  EXPECT_EQ(Straight.Failures(), 0) << Straight.FirstFailure();
#endif
}

TEST(RollingRestart, TwoProcessesShareAPortAndAStoppedOneFinishesItsClients) {
#ifndef ID_LINESERVER
  GTEST_SKIP() << "the examples are not built";
#else
  TTempDir Dir;
  TChildProcess First, Second;
  int32_t Port = 0;
  for (int Try = 0; Try < 3 && Port == 0; ++Try) {
    const std::string Text = std::to_string(RecentlyFreeLoopbackPort());
    First.Start({ID_LINESERVER, Text, "--reuseport"}, Dir.File("first.log"));
    Second.Start({ID_LINESERVER, Text, "--reuseport"}, Dir.File("second.log"));
    if (First.WaitForListeningPort(std::stoi(Text)) && Second.WaitForListeningPort(std::stoi(Text)))
      Port = std::stoi(Text);
  }
  ASSERT_NE(Port, 0) << First.Log() << Second.Log();
  // The system spreads the clients: connect until each process holds one.
  std::vector<std::unique_ptr<TRawPeer>> OfFirst, OfSecond;
  for (int N = 0; N < 64 && (OfFirst.empty() || OfSecond.empty()); ++N) {
    auto Client = std::make_unique<TRawPeer>(Port);
    ASSERT_EQ(Client->ReadLine(), "200 Line server ready");
    const int32_t Own = Raw::LocalPort(Client->Fd());
    ASSERT_TRUE(WaitFor([&] {
      return HoldsConnectionFrom(First.Pid(), Own) || HoldsConnectionFrom(Second.Pid(), Own);
    }));
    (HoldsConnectionFrom(First.Pid(), Own) ? OfFirst : OfSecond).push_back(std::move(Client));
  }
  ASSERT_FALSE(OfFirst.empty() || OfSecond.empty()) << "one process served every client";
  // The first stops: it accepts no more at once, and its clients finish.
  ::kill(First.Pid(), SIGTERM);
  ASSERT_TRUE(WaitFor([&] { return ListeningPortsOf(First.Pid()).empty(); }));
  for (const auto& Client : OfFirst) {
    Client->SendLine("ECHO still here");
    EXPECT_EQ(Client->ReadLine(), "250 still here");
    Client->SendLine("QUIT");
    EXPECT_EQ(Client->ReadLine(), "221 Bye");
  }
  EXPECT_EQ(TRawPeer(Port).ReadLine(), "200 Line server ready"); // the second serves on
  EXPECT_EQ(First.Wait(), 0) << First.Log();
#endif
}
