// SPDX-License-Identifier: MIT
// The thread managers with real threads: making threads of the configured class, handing them
// out, taking them back from the thread itself and from others, and a bounded churn.
#include "idframework/threads/IdThreadMgrDefault.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "idframework/core/IdException.h"
#include "idframework/core/IdGlobal.h"
#include "support/WaitFor.h"
#include "threads/RecordingThread.h"

namespace Id {
namespace {

using IdTest::TRecordingThread;
using IdTest::WaitFor;

std::atomic<int> Destroyed{0};

// A recording thread that counts its destruction and can give itself back from its own
// end-of-phase clean-up, as a peer thread does.
class TManagedThread : public TRecordingThread {
public:
  using TRecordingThread::TRecordingThread;
  ~TManagedThread() override {
    TerminateWakeAndWait();
    ++Destroyed;
  }
  TIdThreadMgr* ReturnTo = nullptr; // not owned
  std::atomic<bool> ReturnedItself{false};
  std::atomic<bool> FreeOnTerminateAfterReturn{false};

protected:
  void ReleaseData() override {
    TRecordingThread::ReleaseData();
    if (!ReturnTo) return;
    ReturnTo->ReturnThread(this);
    FreeOnTerminateAfterReturn = FreeOnTerminate();
    ReturnedItself = true;
  }
};

class TThreadMgrTest : public testing::Test {
protected:
  void SetUp() override {
    Destroyed = 0;
    Mgr.SetThreadClassRef(IdThreadClassOf<TManagedThread>());
  }
  void TearDown() override {
    EXPECT_TRUE(WaitFor([] { return LiveThreadCount() == 0; }));
  }
  int Listed() { return Mgr.ManagedThreads().Count(); }

  TIdThreadMgrDefault Mgr{nullptr};
};

TEST_F(TThreadMgrTest, AcquireWithoutAThreadClassRaisesAndListsNothing) {
  Mgr.SetThreadClassRef(nullptr);
  try {
    Mgr.AcquireThread();
    FAIL() << "no exception";
  } catch (const EIdThreadClassNotSpecified& E) {
    EXPECT_EQ(E.Message(), "Thread Class Not Specified.");
  }
  EXPECT_EQ(Listed(), 0);
}

TEST_F(TThreadMgrTest, FailingThreadConstructionPropagatesAndListsNothing) {
  Mgr.SetThreadClassRef([](bool) -> std::unique_ptr<TIdThread> { throw EIdException("no"); });
  EXPECT_THROW(Mgr.AcquireThread(), EIdException);
  EXPECT_EQ(Listed(), 0);
}

TEST_F(TThreadMgrTest, AcquireGivesASuspendedThreadAtTheSpawnPriorityListedInTheManager) {
  EXPECT_EQ(Mgr.SpawnPriority(), TThreadPriority::tpNormal);
  EXPECT_EQ(static_cast<int>(Mgr.SpawnPriority()), 3);
  Mgr.SetSpawnPriority(TThreadPriority::tpLower);
  EXPECT_EQ(Mgr.StackSize(), 0u) << "the process-wide default";
  Mgr.SetStackSize(size_t(3) << 20);
  TIdThread* T = Mgr.AcquireThread();
  ASSERT_NE(dynamic_cast<TManagedThread*>(T), nullptr);
  EXPECT_TRUE(T->Suspended());
  EXPECT_TRUE(T->IsHalted());
  EXPECT_EQ(T->Priority(), TThreadPriority::tpLower);
  EXPECT_EQ(T->StackSize(), size_t(3) << 20);
  {
    TLockedList Locked(Mgr.ManagedThreads());
    ASSERT_EQ(Locked->size(), 1u);
    EXPECT_EQ(Locked->front(), T);
  }
  Mgr.ReturnThread(T);
}

TEST_F(TThreadMgrTest, ReturningANeverStartedThreadDestroysItAndEmptiesTheList) {
  TIdThread* T = Mgr.AcquireThread();
  EXPECT_EQ(LiveThreadCount(), 1);
  Mgr.ReturnThread(T);
  EXPECT_EQ(Destroyed.load(), 1);
  EXPECT_EQ(Listed(), 0);
  EXPECT_EQ(LiveThreadCount(), 0);
}

TEST_F(TThreadMgrTest, ReturningARunningThreadFromAnotherThreadEndsAndDestroysIt) {
  auto* T = static_cast<TManagedThread*>(Mgr.AcquireThread());
  T->StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T->Steps >= 1; }));
  Mgr.ReturnThread(T);
  EXPECT_EQ(Destroyed.load(), 1);
  EXPECT_EQ(Listed(), 0);
}

TEST_F(TThreadMgrTest, ReturningAParkedThreadFromAnotherThreadDestroysIt) {
  auto* T = static_cast<TManagedThread*>(Mgr.AcquireThread());
  T->SetStopAction(TIdThreadStopAction::taSuspend);
  T->StartRunning();
  ASSERT_TRUE(WaitFor([&] { return T->Steps >= 1; }));
  T->StopRunning();
  ASSERT_TRUE(WaitFor([&] { return T->Suspended() && T->Log.Count("Halted") == 1; }));
  Mgr.ReturnThread(T);
  EXPECT_EQ(Destroyed.load(), 1);
}

TEST_F(TThreadMgrTest, SelfReturnNeitherBlocksNorDestroysAtOnceAndTheThreadFreesItself) {
  struct TSeen {
    bool Returned, FreeOnTerminate;
    int DestroyedSoFar;
  };
  std::promise<TSeen> Seen;
  auto* T = static_cast<TManagedThread*>(Mgr.AcquireThread());
  T->ReturnTo = &Mgr;
  T->StepAction = [](TRecordingThread& Self) { Self.StopRunning(); };
  // Raised after the phase in which the thread gave itself back: the object is still whole.
  T->OnHalted = [&Seen](TIdThread& Self) {
    auto& M = static_cast<TManagedThread&>(Self);
    Seen.set_value({M.ReturnedItself, M.FreeOnTerminateAfterReturn, Destroyed});
  };
  T->StartRunning();
  const TSeen Result = Seen.get_future().get();
  EXPECT_TRUE(Result.Returned);
  EXPECT_TRUE(Result.FreeOnTerminate);
  EXPECT_EQ(Result.DestroyedSoFar, 0);
  EXPECT_EQ(Listed(), 0);
  ASSERT_TRUE(WaitFor([] { return Destroyed == 1; }));
}

TEST_F(TThreadMgrTest, ReturningAThreadTheManagerDoesNotHoldLeavesItRunning) {
  TManagedThread Foreign;
  Foreign.StartRunning();
  ASSERT_TRUE(WaitFor([&] { return Foreign.Steps >= 1; }));
  Mgr.ReturnThread(&Foreign);
  const int Before = Foreign.Steps;
  ASSERT_TRUE(WaitFor([&] { return Foreign.Steps > Before; }));
  EXPECT_FALSE(Foreign.Terminated());
  EXPECT_FALSE(Foreign.FreeOnTerminate());
  EXPECT_EQ(Destroyed.load(), 0);
  Foreign.TerminateAndWaitFor();
}

TEST_F(TThreadMgrTest, SelfReturnRacingAReturnFromAnotherThreadFreesEachThreadOnce) {
  for (int Round = 0; Round < 100; ++Round) {
    auto* T = static_cast<TManagedThread*>(Mgr.AcquireThread());
    T->ReturnTo = &Mgr;
    T->StepAction = [](TRecordingThread& Self) { Self.StopRunning(); };
    T->StartRunning();
    Mgr.ReturnThread(T); // whichever removes it first from the list frees it
    ASSERT_TRUE(WaitFor([&] { return Destroyed == Round + 1; })) << "round " << Round;
  }
  EXPECT_EQ(Listed(), 0);
}

TEST_F(TThreadMgrTest, ChurnOfSelfReturningThreadsEndsWithNoThreadLeft) {
  constexpr int Total = 2000;
  constexpr int MaxAlive = 32;
  for (int I = 0; I < Total; ++I) {
    ASSERT_TRUE(WaitFor([] { return LiveThreadCount() < MaxAlive; }));
    auto* T = static_cast<TManagedThread*>(Mgr.AcquireThread());
    T->ReturnTo = &Mgr;
    T->StepAction = [](TRecordingThread& Self) {
      if (Self.Steps >= 3) Self.StopRunning();
    };
    T->StartRunning();
  }
  ASSERT_TRUE(WaitFor([] { return LiveThreadCount() == 0; }, std::chrono::seconds(60)));
  EXPECT_EQ(Destroyed.load(), Total);
  EXPECT_EQ(Listed(), 0);
}

TEST(ListCountBelow, AbsentListIsAlwaysBelow) {
  EXPECT_TRUE(ListCountBelow<int>(nullptr, 0));
  EXPECT_TRUE(ListCountBelow<int>(nullptr, 1));
}

TEST(ListCountBelow, ComparesTheCountWithTheLimit) {
  TThreadList<int> List;
  EXPECT_FALSE(ListCountBelow(&List, 0));
  EXPECT_TRUE(ListCountBelow(&List, 1));
  List.Add(1);
  List.Add(2);
  EXPECT_FALSE(ListCountBelow(&List, 2));
  EXPECT_TRUE(ListCountBelow(&List, 3));
  EXPECT_TRUE(ListCountBelow(&List, -1)); // unsigned: no limit
}

} // namespace
} // namespace Id
