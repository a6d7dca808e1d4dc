// Re-entrant critical sections and lock-protected lists.
#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

namespace Id {

/// A re-entrant lock. Use with std::lock_guard (it is Lockable) or the Enter/Leave pair.
class TCriticalSection {
public:
  void Enter() { FMutex.lock(); }
  void Leave() { FMutex.unlock(); }
  bool TryEnter() { return FMutex.try_lock(); }
  void lock() { FMutex.lock(); }
  void unlock() { FMutex.unlock(); }
  bool try_lock() { return FMutex.try_lock(); }

private:
  std::recursive_mutex FMutex;
};

/// A list of T guarded by its own re-entrant lock. Every traversal holds the lock: take a
/// TLocked view with LockList(); it releases the lock when it goes out of scope.
template <class T> class TThreadList {
public:
  class TLocked {
  public:
    explicit TLocked(TThreadList& AList) : FGuard(AList.FLock), FList(AList.FItems) {}
    std::vector<T>& operator*() const noexcept { return FList; }
    std::vector<T>* operator->() const noexcept { return &FList; }

  private:
    std::lock_guard<TCriticalSection> FGuard;
    std::vector<T>& FList;
  };

  [[nodiscard]] TLocked LockList() { return TLocked(*this); }
  void Add(const T& AItem) {
    std::lock_guard<TCriticalSection> Guard(FLock);
    FItems.push_back(AItem);
  }
  /// Removes the first occurrence; returns whether it was there.
  bool Remove(const T& AItem) {
    std::lock_guard<TCriticalSection> Guard(FLock);
    auto It = std::find(FItems.begin(), FItems.end(), AItem);
    if (It == FItems.end()) return false;
    FItems.erase(It);
    return true;
  }
  void Clear() {
    std::lock_guard<TCriticalSection> Guard(FLock);
    FItems.clear();
  }
  int Count() {
    std::lock_guard<TCriticalSection> Guard(FLock);
    return static_cast<int>(FItems.size());
  }

private:
  TCriticalSection FLock;
  std::vector<T> FItems;
};

} // namespace Id
