// SPDX-License-Identifier: MIT
// The platform thread on real operating-system threads: start, self-suspension, termination,
// waiting, self-destruction, destruction of unfinished threads, priority and escaped exceptions.
#include "idframework/runtime/Thread.h"

#include <gtest/gtest.h>

#include <locale.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cfenv>
#include <csignal>
#include <fstream>
#include <future>
#include <memory>
#include <stdexcept>
#include <vector>

#include "idframework/core/IdGlobal.h"
#include "idframework/net/IdStack.h"
#include "idframework/threads/IdThread.h"
#include "support/WaitFor.h"

namespace Id {
namespace {

// A thread whose body is a function given by the test.
class TBodyThread : public TThread {
public:
  TBodyThread(bool ACreateSuspended, std::function<void(TBodyThread&)> ABody)
      : TThread(ACreateSuspended), FBody(std::move(ABody)) {}
  ~TBodyThread() override { TerminateWakeAndWait(); }

protected:
  void Execute() override { FBody(*this); }

private:
  std::function<void(TBodyThread&)> FBody;
};

// Tells the test when it is destroyed; used for threads that free themselves.
class TSelfFreeingThread : public TBodyThread {
public:
  TSelfFreeingThread(std::function<void(TBodyThread&)> ABody, std::promise<void>& AGone)
      : TBodyThread(true, std::move(ABody)), FGone(AGone) {}
  ~TSelfFreeingThread() override {
    TerminateWakeAndWait();
    FGone.set_value();
  }

private:
  std::promise<void>& FGone;
};

TEST(ThreadStart, CreatedSuspendedRunsOnlyAfterResume) {
  std::atomic<int> Runs{0};
  TBodyThread T(true, [&](TBodyThread&) { ++Runs; });
  EXPECT_TRUE(T.Suspended());
  EXPECT_FALSE(T.Finished());
  EXPECT_EQ(Runs.load(), 0);
  T.Resume();
  T.WaitFor();
  EXPECT_EQ(Runs.load(), 1);
  EXPECT_TRUE(T.Finished());
  EXPECT_FALSE(T.Suspended());
}

TEST(ThreadStart, NoSystemThreadUntilTheStart) {
  std::atomic<int> Runs{0};
  {
    TBodyThread T(true, [&](TBodyThread&) { ++Runs; });
    EXPECT_EQ(T.ThreadID(), TThreadID()) << "made at the first Resume";
    EXPECT_FALSE(CallerIsThread(T));
  }
  EXPECT_EQ(Runs.load(), 0) << "destroyed unstarted, the body never runs";
}

TEST(ThreadStart, CreatedRunningStartsThroughCreate) {
  std::promise<void> Ran;
  auto T = TThread::Create<TBodyThread>(false, [&](TBodyThread&) { Ran.set_value(); });
  Ran.get_future().get();
  T->WaitFor();
  EXPECT_TRUE(T->Finished());
}

TEST(ThreadStart, IdentifierIsTheBodysThread) {
  std::promise<std::thread::id> BodyId;
  std::atomic<bool> CallerWasThread{false};
  TBodyThread T(true, [&](TBodyThread& Self) {
    BodyId.set_value(std::this_thread::get_id());
    CallerWasThread = CallerIsThread(Self);
  });
  EXPECT_FALSE(CallerIsThread(T));
  T.Resume();
  const std::thread::id Body = BodyId.get_future().get();
  EXPECT_EQ(Body, T.ThreadID()) << "published by the thread before its body runs";
  T.WaitFor();
  EXPECT_TRUE(CallerWasThread.load());
}

TEST(ThreadSuspend, ParkedThreadSleepsUntilResumed) {
  std::atomic<int> Stage{0};
  TBodyThread T(true, [&](TBodyThread& Self) {
    Stage = 1;
    Self.Suspend();
    Stage = 2;
  });
  T.Resume();
  ASSERT_TRUE(IdTest::WaitFor([&] { return Stage == 1 && T.Suspended(); }));
  EXPECT_EQ(Stage.load(), 1);
  T.Resume();
  T.WaitFor();
  EXPECT_EQ(Stage.load(), 2);
}

TEST(ThreadSuspend, ResumeThatArrivesBeforeSuspendIsNotLost) {
  std::promise<void> Resumed;
  auto ResumedFuture = Resumed.get_future();
  TBodyThread T(true, [&](TBodyThread& Self) {
    ResumedFuture.wait();
    Self.Suspend(); // returns at once: the wake-up came first
  });
  T.Resume();
  T.Resume();
  Resumed.set_value();
  T.WaitFor();
  EXPECT_TRUE(T.Finished());
}

TEST(ThreadSuspend, OnlyTheThreadItselfMaySuspend) {
  TBodyThread T(true, [](TBodyThread&) {});
  EXPECT_THROW(T.Suspend(), EThread);
  T.Resume();
  T.WaitFor();
}

TEST(ThreadWait, WaitingForItselfRaisesInsteadOfHanging) {
  std::string Message;
  TBodyThread T(true, [&](TBodyThread& Self) {
    try {
      Self.WaitFor();
    } catch (const EThread& E) {
      Message = E.Message();
    }
  });
  T.Resume();
  T.WaitFor();
  EXPECT_EQ(Message, "A thread cannot wait for itself");
}

TEST(ThreadTerminate, TerminateOnlySetsTheFlag) {
  std::atomic<int> Rounds{0};
  TBodyThread T(true, [&](TBodyThread& Self) {
    while (!Self.Terminated())
      ++Rounds;
  });
  T.Resume();
  ASSERT_TRUE(IdTest::WaitFor([&] { return Rounds > 0; }));
  EXPECT_FALSE(T.Finished());
  T.Terminate();
  T.WaitFor();
  EXPECT_TRUE(T.Terminated());
}

TEST(ThreadDestroy, UnstartedThreadNeverRunsItsBody) {
  std::atomic<int> Runs{0};
  {
    TBodyThread T(true, [&](TBodyThread&) { ++Runs; });
  }
  EXPECT_EQ(Runs.load(), 0);
}

TEST(ThreadDestroy, ParkedThreadIsTerminatedWokenAndAwaited) {
  std::atomic<bool> SawTerminated{false};
  std::atomic<bool> Ended{false};
  {
    TBodyThread T(true, [&](TBodyThread& Self) {
      Self.Suspend();
      SawTerminated = Self.Terminated();
      Ended = true;
    });
    T.Resume();
    ASSERT_TRUE(IdTest::WaitFor([&] { return T.Suspended(); }));
  }
  EXPECT_TRUE(Ended.load());
  EXPECT_TRUE(SawTerminated.load());
}

TEST(ThreadDestroy, RunningThreadIsTerminatedAndAwaited) {
  std::atomic<bool> Started{false};
  std::atomic<bool> Ended{false};
  {
    TBodyThread T(true, [&](TBodyThread& Self) {
      Started = true;
      while (!Self.Terminated())
        std::this_thread::yield();
      Ended = true;
    });
    T.Resume();
    ASSERT_TRUE(IdTest::WaitFor([&] { return Started.load(); }));
  }
  EXPECT_TRUE(Ended.load());
}

TEST(ThreadFreeOnTerminate, ObjectDeletesItselfAfterItsBody) {
  std::promise<void> Gone;
  std::atomic<bool> BodyRan{false};
  auto* T = new TSelfFreeingThread([&](TBodyThread&) { BodyRan = true; }, Gone);
  T->SetFreeOnTerminate(true);
  EXPECT_TRUE(T->FreeOnTerminate());
  T->Resume();
  Gone.get_future().get(); // the destructor ran; ASan reports it if it did not free
  EXPECT_TRUE(BodyRan.load());
}

TEST(ThreadFailure, ExceptionEscapingTheBodyIsKeptNotFatal) {
  TBodyThread T(true, [](TBodyThread&) { throw std::runtime_error("boom"); });
  T.Resume();
  T.WaitFor();
  EXPECT_EQ(T.FatalExceptionMessage(), "boom");
  ASSERT_TRUE(T.FatalException());
  EXPECT_THROW(std::rethrow_exception(T.FatalException()), std::runtime_error);
}

TEST(ThreadFailure, AnythingThrownIsCaught) {
  TBodyThread T(true, [](TBodyThread&) { throw 42; });
  T.Resume();
  T.WaitFor();
  EXPECT_EQ(T.FatalExceptionMessage(), "Unknown exception");
}

TEST(ThreadTerminateEvent, FiresOnTheThreadAfterTheBody) {
  std::atomic<bool> BodyDone{false};
  std::atomic<bool> SawBodyDone{false};
  std::atomic<bool> OnOwnThread{false};
  TBodyThread T(true, [&](TBodyThread&) { BodyDone = true; });
  T.OnTerminate = [&](TThread& Self) {
    SawBodyDone = BodyDone.load();
    OnOwnThread = CallerIsThread(Self);
  };
  T.Resume();
  T.WaitFor();
  EXPECT_TRUE(SawBodyDone.load());
  EXPECT_TRUE(OnOwnThread.load());
}

int NiceOfCallingThread() {
  return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

TEST(ThreadPriority, LowerStepsApplyToTheRunningThread) {
  std::promise<int> Nice;
  TBodyThread T(true, [&](TBodyThread&) { Nice.set_value(NiceOfCallingThread()); });
  SetThreadPriorityOf(T, TThreadPriority::tpLowest);
  EXPECT_EQ(T.Priority(), TThreadPriority::tpLowest);
  T.Resume();
  EXPECT_EQ(Nice.get_future().get(), 10);
  T.WaitFor();
}

TEST(ThreadPriority, ChangeWhileRunningApplies) {
  std::promise<void> Changed;
  std::promise<int> Nice;
  auto ChangedFuture = Changed.get_future();
  TBodyThread T(true, [&](TBodyThread&) {
    ChangedFuture.wait();
    Nice.set_value(NiceOfCallingThread());
  });
  T.Resume();
  T.SetPriority(TThreadPriority::tpIdle);
  Changed.set_value();
  EXPECT_EQ(Nice.get_future().get(), 19);
  T.WaitFor();
}

TEST(ThreadPriority, RaisingNeverFailsTheThread) {
  // Unprivileged this is refused and the thread keeps its priority; privileged it applies.
  std::atomic<bool> Ran{false};
  TBodyThread T(true, [&](TBodyThread&) { Ran = true; });
  T.SetPriority(TThreadPriority::tpTimeCritical);
  EXPECT_EQ(T.Priority(), TThreadPriority::tpTimeCritical);
  T.Resume();
  T.WaitFor();
  EXPECT_TRUE(Ran.load());
  EXPECT_FALSE(T.FatalException());
  T.SetPriority(TThreadPriority::tpNormal); // finished: only recorded
  EXPECT_EQ(T.Priority(), TThreadPriority::tpNormal);
}

// The stack the system gave a body's thread, for a thread object with AOwn as its stack size.
size_t StackOfABody(size_t AOwn) {
  std::promise<size_t> StackSize;
  TBodyThread T(true, [&](TBodyThread&) {
    pthread_attr_t Attributes;
    size_t Size = 0;
    if (pthread_getattr_np(pthread_self(), &Attributes) == 0) {
      pthread_attr_getstacksize(&Attributes, &Size);
      pthread_attr_destroy(&Attributes);
    }
    StackSize.set_value(Size);
  });
  T.SetStackSize(AOwn);
  T.Resume();
  T.WaitFor();
  return StackSize.get_future().get();
}

TEST(ThreadStart, TheStackIsTheThreadsOwnOrTheProcessDefault) {
  constexpr size_t MiB = size_t(1) << 20;
  EXPECT_EQ(TThread::DefaultStackSize(), 8 * MiB);
  EXPECT_EQ(StackOfABody(0), 8 * MiB);
  EXPECT_EQ(StackOfABody(16 * MiB), 16 * MiB) << "never a parked thread with another stack";
  EXPECT_GE(StackOfABody(1), TThread::MinimumStackSize); // a sanitizer may give more
  TThread::SetDefaultStackSize(2 * MiB);
  EXPECT_EQ(StackOfABody(0), 2 * MiB);
  TThread::SetDefaultStackSize(0);
  EXPECT_EQ(TThread::DefaultStackSize(), 8 * MiB);
}

// ------------------------------------------------------------------------------------------
// Reused operating-system threads

// What a body finds of its thread when it starts.
struct TThreadState {
  pid_t Tid = 0;
  bool SigUsr1Blocked = false;
  bool SigUsr2Blocked = false;
  int Errno = -1;
  int Nice = 0;
  int32_t SocketError = -1;
  locale_t Locale = nullptr;
  int Rounding = -1;
  int CancelState = -1;
};

bool Blocked(int ASignal) {
  sigset_t Mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &Mask);
  return sigismember(&Mask, ASignal) == 1;
}

TThreadState StateOfThisThread() {
  TThreadState S;
  S.Tid = gettid();
  S.SigUsr1Blocked = Blocked(SIGUSR1);
  S.SigUsr2Blocked = Blocked(SIGUSR2);
  S.Errno = errno;
  S.Nice = NiceOfCallingThread();
  S.SocketError = GlobalStack()->SockLastError();
  S.Locale = uselocale(nullptr);
  S.Rounding = std::fegetround();
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &S.CancelState);
  return S;
}

// Whether the kernel may hand a signal for the process to the thread ATid (SIGUSR1 unblocked).
bool TakesSignals(pid_t ATid) {
  std::ifstream Status("/proc/self/task/" + std::to_string(ATid) + "/status");
  for (std::string Line; std::getline(Status, Line);)
    if (Line.rfind("SigBlk:", 0) == 0)
      return (std::stoull(Line.substr(7), nullptr, 16) & (1ull << (SIGUSR1 - 1))) == 0;
  return true;
}

TEST(ThreadReuse, AReusedThreadStartsTheNextBodyAsANewThreadWould) {
  const TIdStackUse Stack;
  TThread::SetParkedThreads(0, 10000); // none left over from earlier tests
  TThread::SetParkedThreads(1, 10000);
  const int StartNice = NiceOfCallingThread();
  const locale_t Own = newlocale(LC_ALL_MASK, "C", nullptr);
  TThreadState First;
  {
    // The first body leaves everything a body can leave on its thread.
    TBodyThread T(true, [&](TBodyThread& Self) {
      First = StateOfThisThread();
      sigset_t Usr2;
      sigemptyset(&Usr2);
      sigaddset(&Usr2, SIGUSR2);
      pthread_sigmask(SIG_BLOCK, &Usr2, nullptr);
      Self.SetPriority(TThreadPriority::tpLowest);
      char B;
      GlobalStack()->SockRecv(InvalidSocketDescriptor, &B, 1, 0);
      uselocale(Own);
      std::fesetround(FE_UPWARD);
      pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
      errno = EBADF;
    });
    T.Resume();
    T.WaitFor();
  }
  ASSERT_TRUE(IdTest::WaitFor([] { return TThread::ParkedThreadCount() == 1; }));
  EXPECT_FALSE(TakesSignals(First.Tid)) << "a parked thread takes no signal for the process";
  // Started by a thread that blocks SIGUSR1, as a new thread would inherit it.
  sigset_t Usr1;
  sigemptyset(&Usr1);
  sigaddset(&Usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &Usr1, nullptr);
  TThreadState Second;
  TBodyThread T(true, [&](TBodyThread&) { Second = StateOfThisThread(); });
  T.Resume();
  T.WaitFor();
  pthread_sigmask(SIG_UNBLOCK, &Usr1, nullptr);
  freelocale(Own);
  EXPECT_EQ(Second.Tid, First.Tid) << "the same operating-system thread";
  EXPECT_TRUE(Second.SigUsr1Blocked) << "the mask of the thread that started it";
  EXPECT_FALSE(Second.SigUsr2Blocked);
  EXPECT_EQ(Second.Errno, 0);
  EXPECT_EQ(Second.Nice, StartNice);
  EXPECT_EQ(Second.SocketError, 0) << "the socket layer's last error went with the first body";
  EXPECT_EQ(Second.Locale, LC_GLOBAL_LOCALE);
  EXPECT_EQ(Second.Rounding, FE_TONEAREST);
  EXPECT_EQ(Second.CancelState, PTHREAD_CANCEL_ENABLE);
}

TEST(ThreadReuse, ParkedThreadsAreBoundedAndEndWhenNotNeeded) {
  TThread::SetParkedThreads(0, 50);
  TThread::SetParkedThreads(2, 50);
  {
    std::vector<std::unique_ptr<TBodyThread>> Threads;
    std::promise<void> Go;
    std::shared_future<void> GoFuture = Go.get_future().share();
    for (int I = 0; I < 4; ++I) {
      Threads.push_back(
          std::make_unique<TBodyThread>(true, [GoFuture](TBodyThread&) { GoFuture.wait(); }));
      Threads.back()->Resume();
    }
    Go.set_value();
  }
  EXPECT_LE(TThread::ParkedThreadCount(), 2);
  EXPECT_TRUE(IdTest::WaitFor([] { return TThread::ParkedThreadCount() == 0; }))
      << "each ends when no body came for its idle time";
  TThread::SetParkedThreads(64, 10000);
}

} // namespace
} // namespace Id
