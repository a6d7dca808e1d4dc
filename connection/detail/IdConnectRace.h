// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// The outgoing connect of a socket transport when it may not simply block: under a time limit,
// or to a host with several addresses. Each attempt connects on a helper thread; the attempts
// start one after the other, and the first to complete wins (RFC 8305, "Happy Eyeballs").
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "idframework/net/IdStack.h"
#include "idframework/runtime/CriticalSection.h"

namespace Id {

class TIdSocketHandle;

/// A race of connect attempts, the next one started AttemptDelayMs after the last unless every
/// attempt started has failed sooner. The caller's time limit covers the whole race. Run, the
/// preparations and the constructor and destructor belong to the connecting thread; Cancel may
/// come from any thread. No user code runs under the race's lock.
class TIdConnectRace {
public:
  /// Prepares the fresh handle of an attempt for its address: opens and binds the socket, sets
  /// its options and remote end. Runs on the connecting thread, between attempts; may raise
  /// (that attempt then fails).
  using TPrepare = std::function<void(TIdSocketHandle&, const TIdIPAddress&)>;

  /// The time between the starts of two attempts.
  static constexpr int32_t AttemptDelayMs = 250;

  /// One attempt on AHandle, prepared by the caller (not owned; closed when the race is lost).
  explicit TIdConnectRace(TIdSocketHandle& AHandle);
  /// One attempt per address, in this order, each on a handle of its own made ready by
  /// APrepare when its turn comes.
  TIdConnectRace(TIdIPAddressList AAddresses, TPrepare APrepare);
  /// When Run did not end the race itself: closes every attempt and waits for their threads.
  ~TIdConnectRace();
  TIdConnectRace(const TIdConnectRace&) = delete;
  TIdConnectRace& operator=(const TIdConnectRace&) = delete;

  /// Runs the race for ATimeout ms (TimeoutInfinite: without limit) and returns the handle that
  /// connected; every other attempt is closed. Under an active anti-freeze the wait is cut into
  /// slices of its IdleTimeOut (125 ms at most), each followed by an idle step. Raises
  /// EIdConnectTimeout "Connect timed out." when the time runs out (every attempt is closed);
  /// when every attempt failed, the last failure, with AReportAsTimed a connect failure as
  /// EIdConnectException with its text and number; after Cancel, the failure of a socket closed
  /// under its connect (10038).
  TIdSocketHandle& Run(int32_t ATimeout, bool AReportAsTimed);
  /// Ends the race: Run closes the attempts and raises. Any thread.
  void Cancel();
  /// Raises as Run does after a Cancel, when there was one.
  void CheckNotCancelled();

  /// The order to try AAddresses in: the given order with the two versions taking turns,
  /// beginning with the version of the first address.
  static TIdIPAddressList Interleave(const TIdIPAddressList& AAddresses);

private:
  class TAttemptThread;
  struct TAttempt {
    TIdSocketHandle* Handle = nullptr;      // Owned, or the caller's handle
    std::unique_ptr<TIdSocketHandle> Owned; // made when the attempt starts
    std::unique_ptr<TAttemptThread> Thread; // set once the connect runs
  };
  using TClock = std::chrono::steady_clock;
  enum class TStep { Start, Idle, Won, AllFailed, TimedOut, Cancelled };

  TStep WaitForStep();
  std::optional<TClock::time_point> NextStartAt(TClock::time_point ANow) ID_REQUIRES(FLock);
  void StartNext();
  void Report(size_t AIndex, std::exception_ptr AFailure);
  void CloseAll(const TIdSocketHandle* AExcept) noexcept;
  void JoinAll() noexcept;
  [[noreturn]] void RaiseFailure();
  [[noreturn]] void RaiseCancelled();

  TIdIPAddressList FAddresses;
  TPrepare FPrepare;
  std::vector<TAttempt> FAttempts; // sized at construction; one per address
  bool FReportAsTimed = false;
  bool FEnded = false; // every thread joined and every loser closed
  std::optional<TClock::time_point> FDeadline;

  TMutex FLock;
  std::condition_variable FChanged;         // an attempt ended, or Cancel
  size_t FNext ID_GUARDED_BY(FLock) = 0;    // the attempt to start next
  size_t FRunning ID_GUARDED_BY(FLock) = 0; // attempts whose connect has not ended
  TClock::time_point FLastStart ID_GUARDED_BY(FLock);
  std::optional<size_t> FWinner ID_GUARDED_BY(FLock);
  std::exception_ptr FLastFailure ID_GUARDED_BY(FLock);
  bool FLastFailedConnecting ID_GUARDED_BY(FLock) = false; // not while preparing
  bool FCancelled ID_GUARDED_BY(FLock) = false;
};

} // namespace Id
