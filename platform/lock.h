// A process-local lock for short sections that never wait while held, and a condition to wait
// for under it.
#pragma once

#if !defined(_WIN32)
#include <condition_variable>
#include <mutex>
#endif

namespace kel::platform {

// Meets the standard's Lockable requirements, so std::scoped_lock takes it. Not recursive.
// Windows: a slim reader/writer lock taken exclusively (no kernel object); elsewhere std::mutex.
class Lock {
  public:
    Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

#if defined(_WIN32)
    void lock();
    void unlock();
    bool try_lock();

  private:
    friend class Condition;
    void* srw_ = nullptr;  // an SRWLOCK: one pointer-sized word, unlocked when null
#else
    // Inline: libKELPlatform.so takes it too, without the library's code.
    void lock() {
        mutex_.lock();
    }
    void unlock() {
        mutex_.unlock();
    }
    bool try_lock() {
        return mutex_.try_lock();
    }

  private:
    friend class Condition;
    std::mutex mutex_;
#endif
};

// Waits under a Lock. Wait may return without a notification: callers wait in a loop on their
// condition. Windows: a condition variable of the system's, slept on with the SRW lock, which
// wakes a thread without a kernel object (std::condition_variable_any there waits on the thread
// library's semaphores, and under Wine every wait and wake is a round trip to its server);
// elsewhere std::condition_variable on the lock's own mutex.
class Condition {
  public:
    Condition() = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

#if defined(_WIN32)
    // Releases lock while it waits, and holds it again when it returns.
    void Wait(Lock& lock);
    void NotifyAll() noexcept;

  private:
    void* condition_ = nullptr;  // a CONDITION_VARIABLE: one pointer-sized word, null at rest
#else
    void Wait(Lock& lock) {
        std::unique_lock<std::mutex> held(lock.mutex_, std::adopt_lock);
        condition_.wait(held);
        held.release();  // still the caller's
    }
    void NotifyAll() noexcept {
        condition_.notify_all();
    }

  private:
    std::condition_variable condition_;
#endif
};

}  // namespace kel::platform
