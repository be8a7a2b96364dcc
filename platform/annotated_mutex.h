// A mutex that clang's thread-safety analysis understands, and the annotations that say which
// lock guards which data. Built with clang and -Wthread-safety, a read or write of a KEL_GUARDED_BY
// member without its lock, or a call of a KEL_REQUIRES function without it, fails to compile. Other
// compilers see empty macros and a plain platform::Lock (an SRW lock on Windows, a std::mutex
// elsewhere).
#pragma once

#include "platform/lock.h"

#if defined(__clang__)
#define KEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KEL_THREAD_ANNOTATION(x)
#endif

#define KEL_CAPABILITY(x) KEL_THREAD_ANNOTATION(capability(x))
#define KEL_SCOPED_CAPABILITY KEL_THREAD_ANNOTATION(scoped_lockable)
#define KEL_GUARDED_BY(x) KEL_THREAD_ANNOTATION(guarded_by(x))
#define KEL_PT_GUARDED_BY(x) KEL_THREAD_ANNOTATION(pt_guarded_by(x))
#define KEL_REQUIRES(...) KEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KEL_EXCLUDES(...) KEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KEL_ACQUIRE(...) KEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KEL_RELEASE(...) KEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KEL_NO_THREAD_SAFETY_ANALYSIS KEL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace kel {

// platform::Lock with the capability attribute. Taken only through MutexLock.
class KEL_CAPABILITY("mutex") Mutex {
  public:
    void Lock() KEL_ACQUIRE() { mutex_.lock(); }
    void Unlock() KEL_RELEASE() { mutex_.unlock(); }

  private:
    friend class CondVar;
    platform::Lock mutex_;
};

// A platform::Condition for a Mutex. Wait may return without a notification: callers wait in a
// loop on their condition, which the analysis then sees read under the lock.
class CondVar {
  public:
    // Releases mutex while it waits, and holds it again when it returns.
    void Wait(Mutex& mutex) KEL_REQUIRES(mutex) { condition_.Wait(mutex.mutex_); }
    void NotifyAll() noexcept { condition_.NotifyAll(); }

  private:
    platform::Condition condition_;
};

// Holds a Mutex for its scope, as std::scoped_lock does. lock() and unlock() let a
// std::condition_variable_any wait with it (timed, or until a stop), as with a std::unique_lock.
class KEL_SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) KEL_ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
    ~MutexLock() KEL_RELEASE() {
        if (held_) {
            mutex_.Unlock();
        }
    }
    void lock() KEL_ACQUIRE() {
        mutex_.Lock();
        held_ = true;
    }
    void unlock() KEL_RELEASE() {
        held_ = false;
        mutex_.Unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& mutex_;
    bool held_ = true;
};

}  // namespace kel
