// SPDX-License-Identifier: MIT
// Churn with faults: waves of clients of which some send half a line and reset, some half-close
// after a full line and the rest complete normally. Every normal client gets exactly its bytes,
// and shortly after the last client the process is back where it was: descriptors, threads, the
// live counts, no peer thread listed, and resident memory that does not grow wave by wave.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "idframework/core/IdRFCReply.h"
#include "idframework/server/IdCommandHandlers.h"
#include "stress/StressSupport.h"

#ifdef ID_STRESS_WITH_APP
#include "app/Unit1.h"
#endif

using namespace Id;
using namespace IdStress;

namespace {

const int Clients = Scaled(1000);
constexpr int Waves = 4;
// The process is idle again this soon after the last client of a wave.
constexpr std::chrono::milliseconds SettleLimit = Quick(2000ms);
// Resident memory after the last wave may exceed that after the first by this much.
constexpr int64_t RssGrowthLimitKiB = 4 * 1024;

// What the client of number AIndex does and what it must receive.
struct TPlan {
  TClientScript Script;
  std::string Send;
  std::string Expected; // for the scripts that read
};
using TPlanOf = std::function<TPlan(int AIndex)>;

// One in five resets in the middle of a line, one in five half-closes after a full line.
TClientScript ScriptOf(int AIndex) {
  switch (AIndex % 5) {
  case 0:
    return TClientScript::csHalfLineReset;
  case 1:
    return TClientScript::csHalfClose;
  default:
    return TClientScript::csComplete;
  }
}

struct TWaveFigures {
  int64_t DurationMs = 0;
  int PeakPeers = 0;
  int PeakDescriptors = 0;
  int PeakThreads = 0;
  int64_t SettleMs = 0;
  int64_t ResidentKiB = 0;
};

class Churn : public testing::Test {
protected:
  void SetUp() override {
    SettledBaseline();
    FServer->SetListenQueue(Clients / Waves);
    FServer->OnException = [this](TIdPeerThread&, const Exception& E) { FLog.Add(E.Message()); };
  }

  // Activates the server and runs the waves; after each the process must be back at the state
  // of the idle active server, after deactivation at the state before activation.
  void RunWaves(const TPlanOf& APlan) {
    const TFacts Inactive = TFacts::Now();
    const int32_t Port = IdTest::StartOnLoopback(*FServer);
    const TFacts Idle = IdleServerFacts(Inactive);
    std::vector<TWaveFigures> Figures(Waves);
    for (int Wave = 0; Wave < Waves; ++Wave) {
      RunWave(Port, Wave, APlan, Figures[Wave]);
      if (HasFatalFailure()) return;
      const auto Settling = TClock::now();
      ASSERT_TRUE(BackAt(Idle, SettleLimit)) << "wave " << Wave;
      Figures[Wave].SettleMs = ElapsedMs(Settling);
      EXPECT_EQ(FServer->PeerThreadCount(), 0);
      Figures[Wave].ResidentKiB = ResidentKiB();
    }
    const int64_t Growth = Figures.back().ResidentKiB - Figures.front().ResidentKiB;
    RecordFigures(Figures, Growth);
    // Sanitizers keep freed memory in quarantine and grow their own tables: only plain builds
    // can tell a leak from the runtime's bookkeeping.
    if (!Sanitized) {
      EXPECT_LT(Growth, RssGrowthLimitKiB) << "resident memory grows wave by wave";
    }
    const auto Stopping = TClock::now();
    FServer->SetActive(false);
    RecordProperty("DeactivateMs", static_cast<int>(ElapsedMs(Stopping)));
    // The binding keeps its descriptor number reserved while the server exists.
    FServer.reset();
    EXPECT_TRUE(BackAt(Inactive, SettleLimit));
  }

  // One wave of clients at once; every client that reads must get exactly its bytes.
  void RunWave(int32_t APort, int AWave, const TPlanOf& APlan, TWaveFigures& AFigures) {
    const int Size = Clients / Waves;
    std::vector<TCrowdClient> Crowd(static_cast<size_t>(Size));
    for (int I = 0; I < Size; ++I) {
      const TPlan Plan = APlan(AWave * Size + I);
      Crowd[I].Script = Plan.Script;
      Crowd[I].ToSend = Plan.Send;
    }
    const auto Start = TClock::now();
    std::atomic<bool> Running{true};
    // Peaks are sampled while the crowd runs on this thread.
    std::thread Sampler([&] {
      while (Running.load()) {
        AFigures.PeakPeers = std::max(AFigures.PeakPeers, FServer->PeerThreadCount());
        AFigures.PeakDescriptors =
            std::max(AFigures.PeakDescriptors, IdTest::OpenDescriptorCount());
        AFigures.PeakThreads = std::max(AFigures.PeakThreads, IdTest::ThreadCount());
        std::this_thread::sleep_for(2ms);
      }
    });
    RunCrowd(APort, Crowd);
    Running = false;
    Sampler.join();
    AFigures.DurationMs = ElapsedMs(Start);
    for (int I = 0; I < Size; ++I) {
      const TPlan Plan = APlan(AWave * Size + I);
      ASSERT_FALSE(Crowd[I].Failed) << "client " << AWave * Size + I;
      if (Plan.Script == TClientScript::csHalfLineReset) continue;
      ASSERT_EQ(Crowd[I].Received, Plan.Expected) << "client " << AWave * Size + I;
      ASSERT_TRUE(Crowd[I].PeerClosed) << "client " << AWave * Size + I;
    }
  }

  void RecordFigures(const std::vector<TWaveFigures>& AFigures, int64_t AGrowth) {
    for (size_t W = 0; W < AFigures.size(); ++W) {
      const std::string Key = "Wave" + std::to_string(W);
      RecordProperty(Key + "Ms", static_cast<int>(AFigures[W].DurationMs));
      RecordProperty(Key + "PeakPeers", AFigures[W].PeakPeers);
      RecordProperty(Key + "PeakDescriptors", AFigures[W].PeakDescriptors);
      RecordProperty(Key + "PeakThreads", AFigures[W].PeakThreads);
      RecordProperty(Key + "SettleMs", static_cast<int>(AFigures[W].SettleMs));
      RecordProperty(Key + "RssKiB", static_cast<int>(AFigures[W].ResidentKiB));
    }
    RecordProperty("RssGrowthKiB", static_cast<int>(AGrowth));
    // Resets and half-closes end their peers through OnException, quietly or not.
    RecordProperty("PeerExceptions", static_cast<int>(FLog.Count()));
  }

  IdTest::TEventLog FLog;
  std::unique_ptr<TIdTCPServer> FServer = std::make_unique<TIdTCPServer>(nullptr);
};

} // namespace

TEST_F(Churn, CommandHandlerServerServesNormalClientsExactlyAndLeavesNothingBehind) {
  TIdCommandHandler* Echo = FServer->CommandHandlers().Add();
  Echo->SetCommand("ECHO");
  Echo->OnCommand = [](TIdCommand& ACommand) {
    ACommand.CommandReply().SetCodeAndText(200, ACommand.ParamText());
  };
  TIdCommandHandler* Quit = FServer->CommandHandlers().Add();
  Quit->SetCommand("QUIT");
  Quit->ReplyNormal().SetCodeAndText(221, "Bye");
  Quit->SetDisconnect(true);
  RunWaves([](int AIndex) {
    const std::string N = std::to_string(AIndex);
    switch (ScriptOf(AIndex)) {
    case TClientScript::csHalfLineReset:
      return TPlan{TClientScript::csHalfLineReset, "ECHO " + N, ""};
    case TClientScript::csHalfClose:
      return TPlan{TClientScript::csHalfClose, "ECHO " + N + "\r\n", "200 " + N + "\r\n"};
    case TClientScript::csComplete:
      break;
    }
    return TPlan{TClientScript::csComplete, "ECHO " + N + "\r\nQUIT\r\n",
                 "200 " + N + "\r\n221 Bye\r\n"};
  });
}

#ifdef ID_STRESS_WITH_APP
TEST_F(Churn, ProgramHandlerServesNormalClientsExactlyAndLeavesNothingBehind) {
  // The form read as in a designer keeps its own port-100 server idle; its handler serves here.
  TComponent Designer(nullptr);
  Designer.SetComponentStateFlag(csDesigning, true);
  TForm1* Form = new TForm1(&Designer);
  FServer->OnExecute = [Form](TIdPeerThread& AThread) { Form->IdTCPServer1Execute(AThread); };
  RunWaves([](int AIndex) {
    switch (ScriptOf(AIndex)) {
    case TClientScript::csHalfLineReset:
      return TPlan{TClientScript::csHalfLineReset, "hel", ""};
    case TClientScript::csHalfClose:
      return TPlan{TClientScript::csHalfClose, "hello\r\n", "test"};
    case TClientScript::csComplete:
      break;
    }
    return TPlan{TClientScript::csComplete, "", "test"};
  });
}
#endif
