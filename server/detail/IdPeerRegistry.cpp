// SPDX-License-Identifier: MIT
#include "idframework/server/detail/IdPeerRegistry.h"

#include <algorithm>
#include <utility>

#include "idframework/net/IdStack.h"
#include "idframework/runtime/ScopeExit.h"
#include "idframework/server/IdPeerThread.h"
#include "idframework/threads/IdThreadMgr.h"

namespace Id {

TIdPeerRegistry::TIdPeerRegistry(TCurrentManager ACurrentManager)
    : FCurrentManager(std::move(ACurrentManager)) {}

TIdPeerRegistry::~TIdPeerRegistry() = default;

namespace {

// The connections one step of a drop closes; the threads they wake wait at most for these.
constexpr size_t DropBatch = 64;

} // namespace

TIdPeerRegistry::TEntry* TIdPeerRegistry::Find(const TIdPeerThread& APeer) {
  const size_t Index = APeer.RegistryIndex();
  if (Index >= FEntries.size() || FEntries[Index].Peer != &APeer) return nullptr;
  return &FEntries[Index];
}

void TIdPeerRegistry::Add(TIdPeerThread& APeer) {
  APeer.SetPeerRegistry(this); // the thread has not started: it reads this once it runs
  TLockGuard<TMutex> Guard(FLock);
  APeer.SetRegistryIndex(FEntries.size());
  FEntries.push_back(TEntry{&APeer});
}

// The wake happens under the lock that the waiters read the list under: a waiter that finds the
// list empty knows that the last peer thread is done with the server, the wake included. Only
// the last ones out wake it, not each of thousands.
void TIdPeerRegistry::Remove(TIdPeerThread& APeer) {
  TLockGuard<TMutex> Guard(FLock);
  TEntry* Entry = Find(APeer);
  if (!Entry) return;
  if (Entry != &FEntries.back()) {
    *Entry = FEntries.back();
    Entry->Peer->SetRegistryIndex(static_cast<size_t>(Entry - FEntries.data()));
  }
  FEntries.pop_back();
  if (FEntries.size() <= 1) FGone.notify_all();
}

int32_t TIdPeerRegistry::Count() {
  TLockGuard<TMutex> Guard(FLock);
  return static_cast<int32_t>(FEntries.size());
}

bool TIdPeerRegistry::CountBelow(int32_t ALimit) {
  TLockGuard<TMutex> Guard(FLock);
  return static_cast<uint32_t>(FEntries.size()) < static_cast<uint32_t>(ALimit);
}

void TIdPeerRegistry::ForEach(const std::function<void(TIdPeerThread&)>& AVisit) {
  std::vector<TIdPeerThread*> Pinned;
  {
    TLockGuard<TMutex> Guard(FLock);
    for (TEntry& Entry : FEntries)
      if (!Entry.Retired) {
        ++Entry.Pins;
        Pinned.push_back(Entry.Peer);
      }
  }
  TScopeExit Release([&] { Unpin(Pinned); });
  for (TIdPeerThread* Peer : Pinned)
    AVisit(*Peer);
}

// A pinned thread stays listed (it waits in Retire for its pins), so each is found.
void TIdPeerRegistry::Unpin(const std::vector<TIdPeerThread*>& APeers) {
  TLockGuard<TMutex> Guard(FLock);
  bool Freed = false;
  for (TIdPeerThread* Peer : APeers) {
    TEntry* Entry = Find(*Peer);
    if (!Entry || Entry->Pins == 0) continue;
    --Entry->Pins;
    Freed = Freed || (Entry->Retired && Entry->Pins == 0);
  }
  if (Freed) FUnpinned.notify_all();
}

void TIdPeerRegistry::Retire(TIdPeerThread& APeer) {
  TMutexLock Lock(FLock);
  TEntry* Entry = Find(APeer);
  if (!Entry) return;
  Entry->Retired = true;
  // The entry may move while the lock is let go: it is looked up again after each wake.
  while (Find(APeer)->Pins != 0)
    Lock.Wait(FUnpinned);
}

// Given back while still listed: deactivation frees an implicit manager only once the list is
// empty, so the manager is alive here and no new one is made.
void TIdPeerRegistry::Leave(TIdPeerThread& APeer) {
  TScopeExit Unlist([&] { Remove(APeer); });
  if (TIdThreadMgr* Manager = FCurrentManager ? FCurrentManager() : nullptr) {
    Manager->ReturnThread(&APeer);
    return;
  }
  // The manager was destroyed under the running threads.
  APeer.SetFreeOnTerminate(true);
  APeer.RequestTerminate();
}

TIdPeerThread* TIdPeerRegistry::Caller() {
  TLockGuard<TMutex> Guard(FLock);
  for (const TEntry& Entry : FEntries)
    if (Entry.Peer->CallerIsThisThread()) return Entry.Peer;
  return nullptr;
}

// The connections are closed with the lock let go: the threads of a batch are pinned meanwhile,
// so none frees its connection under the drop, and the threads woken by it do not queue on the
// lock. A batch is taken anew each time, as leaving threads move the entries.
void TIdPeerRegistry::DropAll(const TIdPeerThread* AExcept) {
  {
    TLockGuard<TMutex> Guard(FLock);
    ++FDropRound;
  }
  std::vector<TIdPeerThread*> Pinned;
  Pinned.reserve(DropBatch);
  for (;;) {
    Pinned.clear();
    PinForDrop(DropBatch, Pinned);
    if (Pinned.empty()) return;
    TScopeExit Release([&] { Unpin(Pinned); });
    for (TIdPeerThread* Peer : Pinned) {
      if (Peer == AExcept) continue;
      if (TIdTCPServerConnection* Connection = Peer->PeerConnection()) Connection->DropTransport();
    }
  }
}

// Pins up to ACount listed threads that this round of the drop has not reached.
void TIdPeerRegistry::PinForDrop(size_t ACount, std::vector<TIdPeerThread*>& APinned) {
  TLockGuard<TMutex> Guard(FLock);
  for (TEntry& Entry : FEntries) {
    if (APinned.size() == ACount) return;
    if (Entry.Retired || Entry.DropRound == FDropRound) continue;
    Entry.DropRound = FDropRound;
    ++Entry.Pins;
    APinned.push_back(Entry.Peer);
  }
}

bool TIdPeerRegistry::OnlyLeft(const TIdPeerThread* AExcept) {
  return FEntries.empty() || (FEntries.size() == 1 && FEntries.front().Peer == AExcept);
}

bool TIdPeerRegistry::WaitUntilGone(int32_t ATimeout, const TIdPeerThread* AExcept) {
  if (ATimeout == TimeoutInfinite) return WaitUntilGone(std::nullopt, AExcept);
  return WaitUntilGone(std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(std::max(ATimeout, int32_t(0))),
                       AExcept);
}

bool TIdPeerRegistry::WaitUntilGone(std::optional<std::chrono::steady_clock::time_point> ADeadline,
                                    const TIdPeerThread* AExcept) {
  TMutexLock Lock(FLock);
  while (!OnlyLeft(AExcept)) {
    if (!ADeadline)
      Lock.Wait(FGone);
    else if (!Lock.WaitUntil(FGone, *ADeadline))
      return OnlyLeft(AExcept);
  }
  return true;
}

} // namespace Id
