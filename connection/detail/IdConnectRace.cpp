// SPDX-License-Identifier: MIT
#include "idframework/connection/detail/IdConnectRace.h"

#include <algorithm>

#include "idframework/core/IdAntiFreezeBase.h"
#include "idframework/core/IdException.h"
#include "idframework/net/IdSocketHandle.h"
#include "idframework/runtime/Thread.h"

namespace Id {

// Runs the blocking connect of one attempt and reports its end to the race.
class TIdConnectRace::TAttemptThread : public TThread {
public:
  TAttemptThread(TIdConnectRace& ARace, size_t AIndex, TIdSocketHandle& AHandle)
      : TThread(true), FRace(ARace), FIndex(AIndex), FHandle(AHandle) {}
  ~TAttemptThread() override { TerminateWakeAndWait(); }

protected:
  void Execute() override {
    std::exception_ptr Failure;
    try {
      GlobalStack()->CheckSocketResult(FHandle.ConnectToRemote());
    } catch (...) {
      Failure = std::current_exception();
    }
    FRace.Report(FIndex, Failure); // the last touch of the race
  }

private:
  TIdConnectRace& FRace;
  const size_t FIndex;
  TIdSocketHandle& FHandle; // the attempt's; outlives this thread
};

namespace {

// The wait between two idle steps of an active anti-freeze.
std::optional<std::chrono::milliseconds> IdleSlice() {
  if (!TIdAntiFreezeBase::AntiFreezeActive()) return std::nullopt;
  return std::chrono::milliseconds(std::min(TIdAntiFreezeBase::Instance()->IdleTimeOut, 125));
}

} // namespace

TIdConnectRace::TIdConnectRace(TIdSocketHandle& AHandle) : FAttempts(1) {
  FAttempts[0].Handle = &AHandle;
}

TIdConnectRace::TIdConnectRace(TIdIPAddressList AAddresses, TPrepare APrepare)
    : FAddresses(std::move(AAddresses)), FPrepare(std::move(APrepare)),
      FAttempts(FAddresses.size()) {}

// A race left by an exception of its own may still have attempts running.
TIdConnectRace::~TIdConnectRace() {
  if (FEnded) return;
  CloseAll(nullptr);
  JoinAll();
}

TIdIPAddressList TIdConnectRace::Interleave(const TIdIPAddressList& AAddresses) {
  if (AAddresses.empty()) return {};
  TIdIPAddressList First, Other;
  for (const TIdIPAddress& A : AAddresses)
    (A.Version == AAddresses.front().Version ? First : Other).push_back(A);
  TIdIPAddressList Result;
  for (size_t I = 0; I < std::max(First.size(), Other.size()); ++I) {
    if (I < First.size()) Result.push_back(First[I]);
    if (I < Other.size()) Result.push_back(Other[I]);
  }
  return Result;
}

TIdSocketHandle& TIdConnectRace::Run(int32_t ATimeout, bool AReportAsTimed) {
  if (FAttempts.empty()) GlobalStack()->ThrowSocketError(WSA::HOST_NOT_FOUND_);
  FReportAsTimed = AReportAsTimed;
  if (ATimeout != TimeoutInfinite)
    FDeadline = TClock::now() + std::chrono::milliseconds(std::max(ATimeout, 0));
  StartNext();
  for (;;) {
    switch (WaitForStep()) {
    case TStep::Start:
      StartNext();
      break;
    case TStep::Idle:
      TIdAntiFreezeBase::AntiFreezeStep(TIdAntiFreezeBase::Idle, TIdAntiFreezeBase::NoOverride);
      break;
    case TStep::Won: {
      TIdSocketHandle* Winner = nullptr;
      {
        TLockGuard<TMutex> Guard(FLock);
        Winner = FAttempts[*FWinner].Handle;
      }
      CloseAll(Winner);
      JoinAll();
      return *Winner;
    }
    case TStep::AllFailed:
      JoinAll();
      RaiseFailure();
    case TStep::TimedOut:
      CloseAll(nullptr);
      JoinAll();
      throw EIdConnectTimeout();
    case TStep::Cancelled:
      CloseAll(nullptr);
      JoinAll();
      RaiseCancelled();
    }
  }
}

// What the connecting thread does next; waits until there is something to do.
TIdConnectRace::TStep TIdConnectRace::WaitForStep() {
  const std::optional<std::chrono::milliseconds> Slice = IdleSlice();
  TMutexLock Lock(FLock);
  for (;;) {
    if (FCancelled) return TStep::Cancelled;
    if (FWinner) return TStep::Won;
    const TClock::time_point Now = TClock::now();
    const std::optional<TClock::time_point> StartAt = NextStartAt(Now);
    if (!StartAt && FRunning == 0) return TStep::AllFailed;
    if (FDeadline && Now >= *FDeadline) return TStep::TimedOut;
    if (StartAt && Now >= *StartAt) return TStep::Start;
    std::optional<TClock::time_point> Wake = FDeadline;
    if (StartAt && (!Wake || *StartAt < *Wake)) Wake = StartAt;
    if (Slice && (!Wake || Now + *Slice < *Wake)) {
      if (!Lock.WaitUntil(FChanged, Now + *Slice)) return TStep::Idle;
    } else if (Wake) {
      Lock.WaitUntil(FChanged, *Wake);
    } else {
      Lock.Wait(FChanged);
    }
  }
}

// When the next attempt starts: at once when none is running, else a delay after the last
// start; nothing when every attempt has started.
std::optional<TIdConnectRace::TClock::time_point>
TIdConnectRace::NextStartAt(TClock::time_point ANow) {
  if (FNext >= FAttempts.size()) return std::nullopt;
  if (FRunning == 0) return ANow;
  return FLastStart + std::chrono::milliseconds(AttemptDelayMs);
}

// The preparation may fire events (user code): it runs without the lock.
void TIdConnectRace::StartNext() {
  size_t Index;
  {
    TLockGuard<TMutex> Guard(FLock);
    Index = FNext++;
    FLastStart = TClock::now();
  }
  TAttempt& Attempt = FAttempts[Index];
  try {
    if (!Attempt.Handle) {
      Attempt.Owned = std::make_unique<TIdSocketHandle>();
      Attempt.Handle = Attempt.Owned.get();
      FPrepare(*Attempt.Handle, FAddresses[Index]);
    }
  } catch (...) {
    TLockGuard<TMutex> Guard(FLock);
    FLastFailure = std::current_exception();
    FLastFailedConnecting = false;
    return;
  }
  {
    TLockGuard<TMutex> Guard(FLock);
    ++FRunning;
  }
  Attempt.Thread = std::make_unique<TAttemptThread>(*this, Index, *Attempt.Handle);
  Attempt.Thread->Resume();
}

void TIdConnectRace::Report(size_t AIndex, std::exception_ptr AFailure) {
  {
    TLockGuard<TMutex> Guard(FLock);
    --FRunning;
    if (!AFailure) {
      if (!FWinner) FWinner = AIndex;
    } else {
      FLastFailure = AFailure;
      FLastFailedConnecting = true;
    }
  }
  FChanged.notify_all();
}

void TIdConnectRace::Cancel() {
  {
    TLockGuard<TMutex> Guard(FLock);
    FCancelled = true;
  }
  FChanged.notify_all();
}

void TIdConnectRace::CheckNotCancelled() {
  bool Cancelled;
  {
    TLockGuard<TMutex> Guard(FLock);
    Cancelled = FCancelled;
  }
  if (Cancelled) RaiseCancelled();
}

// Closing a handle wakes a connect blocked in it; a handle closed already stays as it is.
void TIdConnectRace::CloseAll(const TIdSocketHandle* AExcept) noexcept {
  for (TAttempt& Attempt : FAttempts)
    if (Attempt.Handle && Attempt.Handle != AExcept) Attempt.Handle->CloseDescriptor();
}

void TIdConnectRace::JoinAll() noexcept {
  for (TAttempt& Attempt : FAttempts)
    Attempt.Thread.reset();
  FEnded = true;
}

void TIdConnectRace::RaiseFailure() {
  std::exception_ptr Failure;
  bool Connecting;
  {
    TLockGuard<TMutex> Guard(FLock);
    Failure = FLastFailure;
    Connecting = FLastFailedConnecting;
  }
  if (!FReportAsTimed || !Connecting) std::rethrow_exception(Failure);
  try {
    std::rethrow_exception(Failure);
  } catch (const EIdSocketError& E) {
    throw EIdConnectException(E.Message(), E.SocketErrorCode());
  } catch (const std::exception& E) {
    throw EIdConnectException(E.what());
  }
}

void TIdConnectRace::RaiseCancelled() {
  TIdStack& Stack = *GlobalStack();
  if (!FReportAsTimed) Stack.ThrowSocketError(WSA::ENOTSOCK_);
  throw EIdConnectException(Stack.SockErrorText(WSA::ENOTSOCK_), WSA::ENOTSOCK_);
}

} // namespace Id
