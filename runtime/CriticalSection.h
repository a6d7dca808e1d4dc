// SPDX-License-Identifier: MIT
// Locks and lock-protected lists: a plain mutex, a re-entrant critical section, the scoped guards
// that hold them, and a list guarded by its own lock. All carry the thread-safety annotations.
// The framework never calls user code (an event, a handler, an interceptor) while it holds one of
// these locks; checked builds count the locks each thread holds and assert it (AssertNoLockHeld).
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "idframework/runtime/Export.h"
#include "idframework/runtime/ThreadSafety.h"

namespace Id {

#if defined(ID_LOCK_CHECKS)
namespace detail {
/// Checked builds: changes the count of framework locks the calling thread holds.
ID_API void CountHeldLocks(int ADelta) noexcept;
} // namespace detail
/// Checked builds (ID_LOCK_CHECKS, on wherever the test suite is built): ends the process with a
/// message naming ACallee when the calling thread holds a lock of this header. The framework calls
/// it before every call out to user code (events, handlers, interceptors).
ID_API void AssertNoLockHeld(const char* ACallee) noexcept;
inline void NoteLockHeld(int ADelta) noexcept {
  detail::CountHeldLocks(ADelta);
}
#else
/// Other builds: nothing.
inline void AssertNoLockHeld(const char*) noexcept {}
inline void NoteLockHeld(int) noexcept {}
#endif

/// A lock that a thread takes once at a time. Take it with TLockGuard, or with TMutexLock where
/// a condition variable is waited on under it.
class ID_API ID_CAPABILITY("mutex") TMutex {
public:
  /// Takes the lock (for TLockGuard and the standard guards).
  void lock() ID_ACQUIRE() {
    FMutex.lock();
    NoteLockHeld(+1);
  }
  /// Takes the lock when it is free; false (without waiting) when another thread holds it.
  bool try_lock() ID_TRY_ACQUIRE(true) {
    if (!FMutex.try_lock()) return false;
    NoteLockHeld(+1);
    return true;
  }
  /// Lets go of the lock.
  void unlock() ID_RELEASE() {
    NoteLockHeld(-1);
    FMutex.unlock();
  }

private:
  friend class TMutexLock;
  std::mutex FMutex;
};

/// A re-entrant lock: the thread holding it may take it again. Used only where re-entry is part
/// of the design (each use says where). Take it with TLockGuard or the Enter/Leave pair.
class ID_API ID_CAPABILITY("mutex") TCriticalSection {
public:
  /// Takes the lock; the holder may take it again.
  void Enter() ID_ACQUIRE() { lock(); }
  /// Lets go of one Enter.
  void Leave() ID_RELEASE() { unlock(); }
  /// Takes the lock (for TLockGuard and the standard guards).
  void lock() ID_ACQUIRE() {
    FMutex.lock();
    NoteLockHeld(+1);
  }
  /// Lets go of the lock.
  void unlock() ID_RELEASE() {
    NoteLockHeld(-1);
    FMutex.unlock();
  }

private:
  std::recursive_mutex FMutex;
};

/// Holds ALock from construction to destruction.
template <class TLock> class ID_SCOPED_CAPABILITY TLockGuard {
public:
  /// Takes ALock; the destructor lets go of it.
  explicit TLockGuard(TLock& ALock) ID_ACQUIRE(ALock) : FLock(ALock) { ALock.lock(); }
  ~TLockGuard() ID_RELEASE() { FLock.unlock(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

private:
  TLock& FLock;
};

/// Holds a TMutex for its scope and can wait on a condition variable under it: the wait lets go
/// of the lock while it sleeps and holds it again when it returns. Callers test their condition
/// in a loop around Wait (wake-ups may be spurious).
class ID_API ID_SCOPED_CAPABILITY TMutexLock {
public:
  /// Takes AMutex; the destructor lets go of it.
  explicit TMutexLock(TMutex& AMutex) ID_ACQUIRE(AMutex) : FLock(AMutex.FMutex) {
    NoteLockHeld(+1);
  }
  ~TMutexLock() ID_RELEASE() { NoteLockHeld(-1); }
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;

  /// Lets go of the lock while it waits for ACondition.
  void Wait(std::condition_variable& ACondition) { ACondition.wait(FLock); }
  /// False when ADeadline passed.
  template <class TTime>
  bool WaitUntil(std::condition_variable& ACondition, const TTime& ADeadline) {
    return ACondition.wait_until(FLock, ADeadline) == std::cv_status::no_timeout;
  }
  /// False when ATime passed.
  template <class TDuration>
  bool WaitFor(std::condition_variable& ACondition, const TDuration& ATime) {
    return ACondition.wait_for(FLock, ATime) == std::cv_status::no_timeout;
  }

private:
  std::unique_lock<std::mutex> FLock;
};

template <class T> class TLockedList;

/// A list of T guarded by its own lock. Every traversal holds the lock through a TLockedList
/// view, which lets go of it when it goes out of scope.
template <class T> class TThreadList {
public:
  /// Appends AItem.
  void Add(T AItem) {
    TLockGuard<TMutex> Guard(FLock);
    FItems.push_back(std::move(AItem));
  }
  /// Removes the first occurrence; returns whether it was there.
  bool Remove(const T& AItem) {
    TLockGuard<TMutex> Guard(FLock);
    auto It = std::find(FItems.begin(), FItems.end(), AItem);
    if (It == FItems.end()) return false;
    FItems.erase(It);
    return true;
  }
  /// Removes every item.
  void Clear() {
    TLockGuard<TMutex> Guard(FLock);
    FItems.clear();
  }
  /// The number of items.
  int Count() {
    TLockGuard<TMutex> Guard(FLock);
    return static_cast<int>(FItems.size());
  }

private:
  friend class TLockedList<T>;
  TMutex FLock;
  std::vector<T> FItems ID_GUARDED_BY(FLock);
};

/// The items of a TThreadList, with its lock held for the life of the view:
/// `TLockedList Peers(List); for (auto* P : *Peers) ...`. Not re-entrant: while the view lives,
/// the list's own operations must not be called on the same thread.
template <class T> class ID_SCOPED_CAPABILITY TLockedList {
public:
  /// Takes AList's lock; the destructor lets go of it.
  explicit TLockedList(TThreadList<T>& AList) ID_ACQUIRE(AList.FLock) : FList(AList) {
    AList.FLock.lock();
  }
  ~TLockedList() ID_RELEASE() { FList.FLock.unlock(); }
  TLockedList(const TLockedList&) = delete;
  TLockedList& operator=(const TLockedList&) = delete;

  /// The items, while the view lives.
  std::vector<T>& operator*() const noexcept ID_NO_THREAD_SAFETY_ANALYSIS { return FList.FItems; }
  std::vector<T>* operator->() const noexcept ID_NO_THREAD_SAFETY_ANALYSIS { return &FList.FItems; }

private:
  TThreadList<T>& FList;
};

} // namespace Id
