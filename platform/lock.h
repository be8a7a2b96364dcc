// A process-local lock for short sections that never wait while held.
#pragma once

#if !defined(_WIN32)
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
    std::mutex mutex_;
#endif
};

}  // namespace kel::platform
