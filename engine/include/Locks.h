// Lock wrappers shared by the engine and the application. None of them can be
// copied or moved: a lock is identified by its address.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <thread>

class none_copyable {
 public:
  none_copyable(const none_copyable&) = delete;
  none_copyable& operator=(const none_copyable&) = delete;

 protected:
  none_copyable() = default;
  ~none_copyable() = default;
};

// One plain, non-recursive mutex.
class mutex_locker : none_copyable {
 public:
  void lock() { mutex_.lock(); }
  void un_lock() { mutex_.unlock(); }
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// Holds the given lock for the lifetime of the object.
template <class Lock>
class autolocker : none_copyable {
 public:
  explicit autolocker(Lock& lock) : lock_(lock) { lock_.lock(); }
  explicit autolocker(Lock* lock) : autolocker(*lock) {}
  ~autolocker() { lock_.un_lock(); }

 private:
  Lock& lock_;
};

// A mutex with one condition variable. Waits take the predicate so that no
// wake-up is lost and spurious ones are absorbed.
class cond_locker : none_copyable {
 public:
  void lock() { mutex_.lock(); }
  void un_lock() { mutex_.unlock(); }
  // The caller holds the lock (through lock()) while it waits.
  template <class Predicate>
  void wait(Predicate ready) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    cond_.wait(held, ready);
    held.release();
  }
  template <class Predicate>
  bool wait_for(std::chrono::milliseconds timeout, Predicate ready) {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    const bool ok = cond_.wait_for(held, timeout, ready);
    held.release();
    return ok;
  }
  void signal() { cond_.notify_one(); }
  void broadcast() { cond_.notify_all(); }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
};

// A recursive mutex that remembers which thread holds it and why, for
// diagnosing stalls.
class SimpleCs : none_copyable {
 public:
  void EnterCS(const char* who) {
    mutex_.lock();
    if (depth_++ == 0) {
      who_.store(who, std::memory_order_relaxed);
      owner_.store(std::this_thread::get_id(), std::memory_order_release);
    }
  }
  void LeaveCS() {
    if (--depth_ == 0) {
      owner_.store(std::thread::id(), std::memory_order_release);
      who_.store(nullptr, std::memory_order_relaxed);
    }
    mutex_.unlock();
  }
  bool HeldByCurrentThread() const {
    return owner_.load(std::memory_order_acquire) == std::this_thread::get_id();
  }
  // The name given by the current holder; for diagnostics only.
  const char* Holder() const { return who_.load(std::memory_order_relaxed); }

  void lock() { EnterCS(nullptr); }
  void unlock() { LeaveCS(); }

 private:
  std::recursive_mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  std::atomic<const char*> who_{nullptr};
  int depth_ = 0;  // only touched by the holder
};

// Holds a SimpleCs for a scope; a null lock is allowed and locks nothing.
class SimpleLock : none_copyable {
 public:
  SimpleLock(SimpleCs* cs, const char* who) : cs_(cs) {
    if (cs_) cs_->EnterCS(who);
  }
  ~SimpleLock() {
    if (cs_) cs_->LeaveCS();
  }

 private:
  SimpleCs* cs_;
};

// A read-write lock; the caller names are accepted for symmetry with
// SimpleCs and not used.
class RWLock : none_copyable {
 public:
  void EnterRead(const char* /*who*/) { mutex_.lock_shared(); }
  void LeaveRead() { mutex_.unlock_shared(); }
  void EnterWrite(const char* /*who*/) { mutex_.lock(); }
  void LeaveWrite() { mutex_.unlock(); }

 private:
  std::shared_mutex mutex_;
};

class ReadLock : none_copyable {
 public:
  explicit ReadLock(RWLock* lock, const char* who = nullptr) : lock_(lock) {
    if (lock_) lock_->EnterRead(who);
  }
  ~ReadLock() {
    if (lock_) lock_->LeaveRead();
  }

 private:
  RWLock* lock_;
};

class WriteLock : none_copyable {
 public:
  explicit WriteLock(RWLock* lock, const char* who = nullptr) : lock_(lock) {
    if (lock_) lock_->EnterWrite(who);
  }
  ~WriteLock() {
    if (lock_) lock_->LeaveWrite();
  }

 private:
  RWLock* lock_;
};

// A one-waiter event. A WakeUp() that comes before the wait is remembered,
// so the wake-up is never lost.
class WaitEvent : none_copyable {
 public:
  // Waits until woken; a positive timeout (milliseconds) bounds the wait.
  // Answers true when woken, false on timeout.
  bool EnterWait(int timeoutMs = -1) {
    std::unique_lock<std::mutex> held(mutex_);
    const auto woken = [this] { return signalled_; };
    bool ok = true;
    if (timeoutMs > 0) {
      ok = cond_.wait_for(held, std::chrono::milliseconds(timeoutMs), woken);
    } else {
      cond_.wait(held, woken);
    }
    if (ok) signalled_ = false;
    return ok;
  }
  void WakeUp() {
    {
      std::lock_guard<std::mutex> held(mutex_);
      signalled_ = true;
    }
    cond_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool signalled_ = false;
};
