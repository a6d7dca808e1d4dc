// Locks and lock-protected lists: a plain mutex, a re-entrant critical section, the scoped guards
// that hold them, and a list guarded by its own lock. All carry the thread-safety annotations.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "runtime/Export.h"
#include "runtime/ThreadSafety.h"

namespace Id {

/// A lock that a thread takes once at a time. Take it with TLockGuard, or with TMutexLock where
/// a condition variable is waited on under it.
class ID_API ID_CAPABILITY("mutex") TMutex {
public:
  /// Takes the lock (for TLockGuard and the standard guards).
  void lock() ID_ACQUIRE() { FMutex.lock(); }
  /// Lets go of the lock.
  void unlock() ID_RELEASE() { FMutex.unlock(); }

private:
  friend class TMutexLock;
  std::mutex FMutex;
};

/// A re-entrant lock: the thread holding it may take it again. Used only where re-entry is part
/// of the design (each use says where). Take it with TLockGuard or the Enter/Leave pair.
class ID_API ID_CAPABILITY("mutex") TCriticalSection {
public:
  /// Takes the lock; the holder may take it again.
  void Enter() ID_ACQUIRE() { FMutex.lock(); }
  /// Lets go of one Enter.
  void Leave() ID_RELEASE() { FMutex.unlock(); }
  /// Takes the lock (for TLockGuard and the standard guards).
  void lock() ID_ACQUIRE() { FMutex.lock(); }
  /// Lets go of the lock.
  void unlock() ID_RELEASE() { FMutex.unlock(); }

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
  explicit TMutexLock(TMutex& AMutex) ID_ACQUIRE(AMutex) : FLock(AMutex.FMutex) {}
  ~TMutexLock() ID_RELEASE() {}
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
