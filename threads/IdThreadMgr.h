// SPDX-License-Identifier: MIT
// The abstract thread manager: knows which thread class to create and at which priority, and
// keeps the list of the threads it has handed out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "idframework/core/IdBaseComponent.h"
#include "idframework/runtime/CriticalSection.h"
#include "idframework/runtime/Export.h"
#include "idframework/runtime/Thread.h"
#include "idframework/threads/IdThread.h"

namespace Id {

/// A thread class: makes a new thread of that class, created suspended or running.
using TIdThreadClass = std::function<std::unique_ptr<TIdThread>(bool ACreateSuspended)>;

/// The thread class of T, which must take the create-suspended flag as its only argument.
template <class T> TIdThreadClass IdThreadClassOf() {
  return [](bool ACreateSuspended) -> std::unique_ptr<TIdThread> {
    return std::make_unique<T>(ACreateSuspended);
  };
}

/// Hands out the threads that serve new connections and takes them back. AcquireThread runs on
/// listener threads and ReturnThread on peer and listener threads, possibly several at once;
/// ManagedThreads changes only under its own lock.
class ID_API TIdThreadMgr : public TIdBaseComponent {
public:
  /// No threads yet; AOwner frees the manager.
  explicit TIdThreadMgr(TComponent* AOwner);
  /// Frees the list; threads still in it are left as they are.
  ~TIdThreadMgr() override;

  /// A new suspended (halted) thread of ThreadClassRef at SpawnPriority with StackSize; the
  /// caller owns it.
  /// Raises EIdThreadClassNotSpecified without a thread class; what the class's constructor
  /// raises propagates.
  virtual std::unique_ptr<TIdThread> MakeThread();
  /// A thread for a new connection, listed in ManagedThreads until ReturnThread takes it back.
  /// The manager accounts for it: the caller gives it back instead of freeing it.
  virtual TIdThread* AcquireThread() = 0;
  /// Takes AThread back. A thread the manager does not hold is ignored.
  virtual void ReturnThread(TIdThread* AThread) = 0;
  /// No behaviour; reserved for managers that need one more hook.
  virtual void ExtraHook() {}

  /// Threads handed out and not yet taken back (not owned through the list).
  TThreadList<TIdThread*>& ManagedThreads() noexcept { return FManagedThreads; }
  /// Set before threads are requested; not locked.
  const TIdThreadClass& ThreadClassRef() const noexcept { return FThreadClassRef; }
  void SetThreadClassRef(TIdThreadClass AValue) { FThreadClassRef = std::move(AValue); }
  /// Priority given to every created thread; tpNormal (3) by default. Not locked.
  TThreadPriority SpawnPriority() const noexcept { return FSpawnPriority; }
  void SetSpawnPriority(TThreadPriority AValue) noexcept { FSpawnPriority = AValue; }
  /// Stack size in bytes given to every created thread; 0 (the default) leaves it to
  /// TThread::DefaultStackSize. Not locked.
  size_t StackSize() const noexcept { return FStackSize; }
  void SetStackSize(size_t AValue) noexcept { FStackSize = AValue; }

private:
  TThreadList<TIdThread*> FManagedThreads;
  TIdThreadClass FThreadClassRef;
  TThreadPriority FSpawnPriority = TThreadPriority::tpNormal;
  size_t FStackSize = 0;
};

/// True when AList is absent or, under its lock, holds fewer than ALimit entries (compared as
/// unsigned numbers, so a negative limit admits any count).
template <class T> bool ListCountBelow(TThreadList<T>* AList, int32_t ALimit) {
  if (!AList) return true;
  TLockedList Locked(*AList);
  return static_cast<uint32_t>(Locked->size()) < static_cast<uint32_t>(ALimit);
}

} // namespace Id
