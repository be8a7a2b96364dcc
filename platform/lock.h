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

    void lock();
    void unlock();
    bool try_lock();

  private:
#if defined(_WIN32)
    void* srw_ = nullptr;  // an SRWLOCK: one pointer-sized word, unlocked when null
#else
    std::mutex mutex_;
#endif
};

}  // namespace kel::platform
