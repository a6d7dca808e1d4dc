// SPDX-License-Identifier: MIT
// Internal header of the framework (detail/): plumbing, not part of its API, not installed.
// The running peer threads of a server: who is listed, the drop of every connection at
// deactivation, the wait for the peer threads to leave, and visits of the listed threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "idframework/runtime/CriticalSection.h"

namespace Id {

class TIdPeerThread;
class TIdThreadMgr;

/// The peer threads of one server that run: listed by the listener before they start, until
/// they leave at the end of their run phase. The server counts them for MaxConnections, drops
/// their connections and waits for them at deactivation.
///
/// Threads: any thread. One plain lock guards the list and is never held while user code runs:
/// a visit pins the thread it visits and runs with the lock let go, and a leaving thread waits
/// until no visit holds it before it frees its connection. Every listed thread knows its place
/// in the list, so a thread is found, and leaves, in constant time however many are listed.
class TIdPeerRegistry {
public:
  /// The manager that peer threads are given back to when they leave; nullptr when none.
  using TCurrentManager = std::function<TIdThreadMgr*()>;
  /// ACurrentManager is asked at each leave (the server's manager may change meanwhile).
  explicit TIdPeerRegistry(TCurrentManager ACurrentManager);
  /// No peer thread may be listed any more (the server waits for them first).
  ~TIdPeerRegistry();
  TIdPeerRegistry(const TIdPeerRegistry&) = delete;
  TIdPeerRegistry& operator=(const TIdPeerRegistry&) = delete;

  /// Lists APeer and tells it where to leave. Listener thread, before it starts APeer.
  void Add(TIdPeerThread& APeer);
  /// Unlists APeer without giving it back: the listener's, for a thread that could not start.
  void Remove(TIdPeerThread& APeer);
  /// The number of listed peer threads.
  int32_t Count();
  /// Whether fewer than ALimit are listed (compared as unsigned numbers, so a negative limit
  /// admits any count).
  bool CountBelow(int32_t ALimit);
  /// Calls AVisit for every listed peer thread that has not begun to leave, one after the other
  /// with the lock let go; the visited thread keeps its connection until AVisit returns.
  void ForEach(const std::function<void(TIdPeerThread&)>& AVisit);

  /// The first step of a peer thread's leave, on the thread itself: no drop or visit reaches it
  /// from now on, and it waits until no visit holds it. Then it may free its connection.
  void Retire(TIdPeerThread& APeer);
  /// The last step: gives APeer back to the current manager (without one, it frees itself when
  /// its body ends) and unlists it, waking a wait that it ends. APeer touches nothing of the
  /// server afterwards.
  void Leave(TIdPeerThread& APeer);

  /// The listed peer thread that is the calling thread; nullptr when none.
  TIdPeerThread* Caller();
  /// Closes the channel of every listed connection but AExcept's (DropTransport: no event, no
  /// intercept), so that each peer thread fails its read or write and ends. The threads are
  /// pinned a batch at a time: a thread woken by its drop waits at most for its batch's drops.
  void DropAll(const TIdPeerThread* AExcept);
  /// Waits until no peer thread but AExcept is listed: up to ADeadline, or without limit when
  /// there is none. False when they were still listed at the deadline. A wait that finds the
  /// list empty knows that no peer thread touches the server any more.
  bool WaitUntilGone(std::optional<std::chrono::steady_clock::time_point> ADeadline,
                     const TIdPeerThread* AExcept);
  /// The same for up to ATimeout ms from now (TimeoutInfinite: without limit; below 0: none).
  bool WaitUntilGone(int32_t ATimeout, const TIdPeerThread* AExcept);

private:
  struct TEntry {
    TIdPeerThread* Peer = nullptr; // not owned: the threads free themselves
    int32_t Pins = 0;              // visits under way
    bool Retired = false;          // leaving: neither dropped nor visited any more
    uint32_t DropRound = 0;        // the last DropAll that reached it
  };

  TEntry* Find(const TIdPeerThread& APeer) ID_REQUIRES(FLock);
  bool OnlyLeft(const TIdPeerThread* AExcept) ID_REQUIRES(FLock);
  void PinForDrop(size_t ACount, std::vector<TIdPeerThread*>& APinned);
  void Unpin(const std::vector<TIdPeerThread*>& APeers);

  TCurrentManager FCurrentManager;
  TMutex FLock;
  // Each listed thread holds its index here (TIdPeerThread::RegistryIndex); a leaving thread's
  // place is taken by the last entry.
  std::vector<TEntry> FEntries ID_GUARDED_BY(FLock);
  uint32_t FDropRound ID_GUARDED_BY(FLock) = 0;
  std::condition_variable FGone;     // the list emptied, or holds only one thread
  std::condition_variable FUnpinned; // a retired thread's last visit ended
};

} // namespace Id
