// SPDX-License-Identifier: MIT
// The worker thread's run loop on real threads: hook order, stop actions, parking and waking,
// exception recording, termination, data release and the count of live thread objects.
#include "idframework/threads/IdThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <typeindex>

#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "idframework/core/IdException.h"
#include "support/WaitFor.h"
#include "threads/RecordingThread.h"

namespace Id {
namespace {

using IdTest::TRecordingThread;
using IdTest::WaitFor;
using Entries = std::vector<std::string>;

// Parked: outside a phase, OnHalted raised, the platform thread suspended.
bool Parked(TRecordingThread& T) {
  return T.Suspended() && T.Log.Count("Halted") > 0;
}

TEST(IdThreadRun, StartedThreadRunsBeforeLoopBeforeRunPhaseAndRepeatedSteps) {
  TRecordingThread T;
  EXPECT_TRUE(T.IsHalted());
  T.StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T.Steps >= 3; }));
  EXPECT_FALSE(T.IsHalted());
  EXPECT_EQ(T.Log.Entries(), (Entries{"BeforeLoop", "BeforeRunPhase", "RunStep"}));
  T.TerminateAndWaitFor();
  EXPECT_EQ(T.Log.Entries(), (Entries{"BeforeLoop", "BeforeRunPhase", "RunStep", "AfterRunPhase",
                                      "ReleaseData", "Halted", "AfterLoop"}));
}

TEST(IdThreadRun, StartRunningOnARunningThreadLeavesItAlone) {
  TRecordingThread T;
  T.StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T.Steps >= 1; }));
  T.StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T.Steps >= 3; }));
  EXPECT_EQ(T.Log.Count("BeforeRunPhase"), 1);
  T.TerminateAndWaitFor();
}

TEST(IdThreadRun, StepThatStopsItsOwnThreadEndsThePhaseAfterThatStep) {
  TRecordingThread T;
  T.StepAction = [](TRecordingThread& Self) { Self.StopRunning(); };
  T.StartRunning();
  T.WaitFor();
  EXPECT_EQ(T.Steps.load(), 1);
  EXPECT_EQ(T.Log.Count("Halted"), 1);
}

TEST(IdThreadStop, SuspendActionParksAndStartRunningRunsASecondPhaseOnTheSameThread) {
  TRecordingThread T;
  T.SetStopAction(TIdThreadStopAction::taSuspend);
  std::vector<std::thread::id> PhaseThreads;
  T.BeforeRunPhaseAction = [&](TRecordingThread&) {
    PhaseThreads.push_back(std::this_thread::get_id());
  };
  T.StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T.Steps >= 1; }));
  T.StopRunning();
  ASSERT_TRUE(WaitFor([&] { return Parked(T); }));
  EXPECT_TRUE(T.IsHalted());
  EXPECT_FALSE(T.Terminated());
  const int StepsOfFirstPhase = T.Steps;

  T.StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T.Steps > StepsOfFirstPhase; }));
  T.TerminateAndWaitFor();
  EXPECT_EQ(T.Log.Entries(), (Entries{"BeforeLoop", "BeforeRunPhase", "RunStep", "AfterRunPhase",
                                      "ReleaseData", "Halted", "BeforeRunPhase", "RunStep",
                                      "AfterRunPhase", "ReleaseData", "Halted", "AfterLoop"}));
  ASSERT_EQ(PhaseThreads.size(), 2u);
  EXPECT_EQ(PhaseThreads[0], PhaseThreads[1]);
  EXPECT_EQ(PhaseThreads[0], T.ThreadID());
}

TEST(IdThreadStop, TerminateActionEndsTheThreadAfterOneHaltedEvent) {
  TRecordingThread T;
  EXPECT_EQ(T.StopAction(), TIdThreadStopAction::taTerminate);
  T.StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T.Steps >= 1; }));
  T.StopRunning();
  T.WaitFor();
  EXPECT_TRUE(T.Terminated());
  EXPECT_EQ(T.Log.Count("Halted"), 1);
  EXPECT_EQ(T.Log.Entries().back(), "AfterLoop");
}

TEST(IdThreadStop, StopAndStartInQuickSuccessionNeverLoseTheWakeUp) {
  TRecordingThread T;
  T.SetStopAction(TIdThreadStopAction::taSuspend);
  T.StartRunning();
  for (int Round = 0; Round < 300; ++Round) {
    const int Before = T.Steps;
    T.StopRunning();
    if (Round % 2) {
      ASSERT_TRUE(WaitFor([&] { return T.Suspended(); }));
    }
    T.StartRunning();
    ASSERT_TRUE(WaitFor([&] { return T.Steps > Before; })) << "round " << Round;
  }
  T.TerminateAndWaitFor();
}

TEST(IdThreadData, DataObjectIsReleasedAtTheEndOfEveryPhase) {
  TRecordingThread T;
  T.SetStopAction(TIdThreadStopAction::taSuspend);
  auto First = std::make_shared<int>(1);
  std::weak_ptr<int> FirstRef = First;
  T.SetDataObject(std::move(First));
  T.StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T.Steps >= 1; }));
  T.StopRunning();
  ASSERT_TRUE(WaitFor([&] { return Parked(T); }));
  EXPECT_TRUE(FirstRef.expired());
  EXPECT_FALSE(T.DataObject().has_value());

  auto Second = std::make_shared<int>(2);
  std::weak_ptr<int> SecondRef = Second;
  T.SetDataObject(std::move(Second));
  T.StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T.Log.Count("BeforeRunPhase") == 2; }));
  T.TerminateAndWaitFor();
  EXPECT_TRUE(SecondRef.expired());
}

TEST(IdThreadData, DestructionReleasesDataOfAThreadThatNeverRan) {
  auto Data = std::make_shared<int>(1);
  std::weak_ptr<int> Ref = Data;
  {
    TRecordingThread T;
    T.SetDataObject(std::move(Data));
  }
  EXPECT_TRUE(Ref.expired());
}

TEST(IdThreadException, FrameworkExceptionFromAStepIsRecordedReportedOnceAndEndsTheThread) {
  TRecordingThread T;
  std::optional<std::type_index> ReportedClass;
  int Reports = 0;
  T.OnRunException = [&](TIdThread& Self, const Exception& E) {
    ++Reports;
    ReportedClass = std::type_index(typeid(E));
    static_cast<TRecordingThread&>(Self).Log.Add("RunException:" + E.Message());
  };
  T.StepAction = [](TRecordingThread&) { throw EIdConnectException("x"); };
  T.StartRunning();
  T.WaitFor();
  EXPECT_EQ(T.LastExceptionMessage(), "x");
  EXPECT_EQ(T.LastExceptionClass(), std::type_index(typeid(EIdConnectException)));
  EXPECT_EQ(ReportedClass, std::type_index(typeid(EIdConnectException)));
  EXPECT_EQ(Reports, 1);
  EXPECT_TRUE(T.Terminated());
  EXPECT_EQ(T.Log.Entries(), (Entries{"BeforeLoop", "BeforeRunPhase", "RunStep", "AfterRunPhase",
                                      "ReleaseData", "AfterLoop", "RunException:x"}));
  EXPECT_FALSE(T.FatalException());
}

TEST(IdThreadException, BeforeRunPhaseFailureSkipsAfterRunPhaseButReleasesData) {
  TRecordingThread T;
  T.BeforeRunPhaseAction = [](TRecordingThread&) { throw EIdTCPServerError(""); };
  T.StartRunning();
  T.WaitFor();
  EXPECT_EQ(T.Log.Entries(),
            (Entries{"BeforeLoop", "BeforeRunPhase", "ReleaseData", "AfterLoop", "RunException:"}));
  EXPECT_EQ(T.LastExceptionClass(), std::type_index(typeid(EIdTCPServerError)));
  EXPECT_EQ(T.Steps.load(), 0);
}

TEST(IdThreadException, StandardExceptionIsRecordedAndReportedWithItsText) {
  TRecordingThread T;
  T.StepAction = [](TRecordingThread&) { throw std::invalid_argument("stoi"); };
  T.StartRunning();
  T.WaitFor();
  EXPECT_EQ(T.Log.Entries(), (Entries{"BeforeLoop", "BeforeRunPhase", "RunStep", "AfterRunPhase",
                                      "ReleaseData", "AfterLoop", "RunException:stoi"}));
  EXPECT_EQ(T.LastExceptionMessage(), "stoi");
  EXPECT_EQ(T.LastExceptionClass(), std::type_index(typeid(std::invalid_argument)));
  EXPECT_FALSE(T.FatalException());
}

TEST(IdThreadException, AnythingElseEndsOnlyThatThreadAndSkipsTheReport) {
  TRecordingThread T;
  T.StepAction = [](TRecordingThread&) { throw 42; };
  T.StartRunning();
  T.WaitFor();
  EXPECT_EQ(T.Log.Entries(), (Entries{"BeforeLoop", "BeforeRunPhase", "RunStep", "AfterRunPhase",
                                      "ReleaseData", "AfterLoop"}));
  EXPECT_FALSE(T.LastExceptionClass().has_value());
  EXPECT_TRUE(T.FatalException());
}

TEST(IdThreadException, ExceptionRaisedByTheReportIsKeptByThePlatformThread) {
  TRecordingThread T;
  T.StepAction = [](TRecordingThread&) { throw EIdConnectException("first"); };
  T.OnRunException = [](TIdThread&, const Exception&) { throw EIdConnectException("second"); };
  T.StartRunning();
  T.WaitFor();
  EXPECT_EQ(T.LastExceptionMessage(), "first");
  EXPECT_EQ(T.FatalExceptionMessage(), "second");
}

TEST(IdThreadTerminate, TerminateAndWaitForOnAParkedThreadReturnsAfterItEnded) {
  TRecordingThread T;
  T.SetStopAction(TIdThreadStopAction::taSuspend);
  T.StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T.Steps >= 1; }));
  T.StopRunning();
  ASSERT_TRUE(WaitFor([&] { return Parked(T); }));
  T.TerminateAndWaitFor();
  EXPECT_TRUE(T.Finished());
  EXPECT_EQ(T.Log.Entries().back(), "AfterLoop");
  EXPECT_EQ(T.Log.Count("Halted"), 1);
}

TEST(IdThreadTerminate, TerminateAndWaitForRefusesAFreeOnTerminateThreadAndChangesNothing) {
  TRecordingThread T;
  T.SetFreeOnTerminate(true);
  try {
    T.TerminateAndWaitFor();
    FAIL() << "no exception";
  } catch (const EIdThreadTerminateAndWaitFor& E) {
    EXPECT_EQ(E.Message(), "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
  }
  EXPECT_FALSE(T.Terminated());
  EXPECT_TRUE(T.Suspended());
  T.SetFreeOnTerminate(false);
}

TEST(IdThreadTerminate, StartRunningOnATerminatedParkedThreadWakesItOnlyToEnd) {
  TRecordingThread T;
  T.SetStopAction(TIdThreadStopAction::taSuspend);
  T.StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T.Steps >= 1; }));
  T.StopRunning();
  ASSERT_TRUE(WaitFor([&] { return Parked(T); }));
  T.RequestTerminate();
  T.StartRunning();
  T.WaitFor();
  EXPECT_EQ(T.Log.Count("BeforeRunPhase"), 1);
  EXPECT_EQ(T.Log.Count("Halted"), 1);
  EXPECT_TRUE(T.IsHalted());
}

TEST(IdThreadDestroy, DestroyingAParkedThreadEndsItWithoutAnotherPhase) {
  auto Phases = std::make_shared<std::atomic<int>>(0);
  auto Ended = std::make_shared<std::atomic<bool>>(false);
  auto T = std::make_unique<TRecordingThread>();
  T->SetStopAction(TIdThreadStopAction::taSuspend);
  T->BeforeRunPhaseAction = [Phases](TRecordingThread&) { ++*Phases; };
  T->OnTerminate = [Ended](TThread&) { *Ended = true; };
  T->StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T->Steps >= 1; }));
  T->StopRunning();
  ASSERT_TRUE(WaitFor([&] { return Parked(*T); }));
  T.reset();
  EXPECT_TRUE(Ended->load());
  EXPECT_EQ(Phases->load(), 1);
}

TEST(IdThreadLiveCount, CountsObjectsFromConstructionToDestruction) {
  const int32_t Before = LiveThreadCount();
  {
    TRecordingThread A;
    TRecordingThread B;
    EXPECT_EQ(LiveThreadCount(), Before + 2);
    A.StartRunning();
    A.TerminateAndWaitFor();
    EXPECT_EQ(LiveThreadCount(), Before + 2); // ended but not destroyed
  }
  EXPECT_EQ(LiveThreadCount(), Before);
}

TEST(IdThreadLiveCount, ConcurrentConstructionIsCountedExactly) {
  const int32_t Before = LiveThreadCount();
  std::vector<std::unique_ptr<TRecordingThread>> Made[4];
  std::vector<std::thread> Makers;
  for (auto& List : Made)
    Makers.emplace_back([&List] {
      for (int I = 0; I < 25; ++I)
        List.push_back(std::make_unique<TRecordingThread>());
    });
  for (auto& M : Makers)
    M.join();
  EXPECT_EQ(LiveThreadCount(), Before + 100);
  for (auto& List : Made)
    List.clear();
  EXPECT_EQ(LiveThreadCount(), Before);
}

TEST(IdThreadProgramEnd, DoesNotWaitWhenNoThreadObjectIsLeft) {
  ASSERT_EQ(LiveThreadCount(), 0);
  EXPECT_EQ(WaitForNoLiveThreads(), 0);
}

TEST(IdThreadProgramEnd, TheLastThreadObjectToGoEndsTheWaitAtOnce) {
  ASSERT_EQ(LiveThreadCount(), 0);
  auto Alive = std::make_unique<TRecordingThread>();
  std::thread Freer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Alive.reset();
  });
  EXPECT_EQ(WaitForNoLiveThreads(), 0) << "woken before a single step of the wait ran out";
  Freer.join();
}

#ifdef ID_LAST_THREAD_AFTER_MAIN
// Seconds a process takes to run to its end.
double SecondsToExit(const char* AProgram) {
  const auto Start = std::chrono::steady_clock::now();
  pid_t Child = 0;
  char* const Argv[] = {const_cast<char*>(AProgram), nullptr};
  if (posix_spawn(&Child, AProgram, nullptr, nullptr, Argv, environ) != 0) return -1;
  int Status = 0;
  if (waitpid(Child, &Status, 0) != Child || !WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
    return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
}

TEST(IdThreadProgramEnd, AProcessEndsWhenItsLastThreadDoesNotAStepLater) {
  // The thread ends about 50 ms after main returns; a wait that only looks every step would
  // keep the process a whole step longer.
  const double Step = std::chrono::duration<double>(LiveThreadWaitStep).count();
  for (int Run = 0; Run < 5; ++Run) {
    const double Seconds = SecondsToExit(ID_LAST_THREAD_AFTER_MAIN);
    ASSERT_GE(Seconds, 0) << "the program failed";
    EXPECT_LT(Seconds, Step / 2) << "run " << Run;
  }
}
#endif

} // namespace
} // namespace Id
