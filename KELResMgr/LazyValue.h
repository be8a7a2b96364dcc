// A value computed at its first use, once, even when several threads need it at the same time.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

namespace kel {

// Holds a string computed by the first Get. An empty result is not kept, so the next Get
// computes again. Threads: any; after the value is kept, Get reads it without a lock.
class LazyString {
  public:
    template <class Compute>
    std::string Get(Compute&& compute) {
        if (ready_.load(std::memory_order_acquire)) {
            return value_;
        }
        std::scoped_lock lock(mutex_);
        if (!ready_.load(std::memory_order_relaxed)) {
            std::string computed = compute();
            if (computed.empty()) {
                return computed;
            }
            value_ = std::move(computed);
            ready_.store(true, std::memory_order_release);  // publishes value_
        }
        return value_;
    }

  private:
    std::mutex mutex_;
    std::atomic<bool> ready_{false};
    std::string value_;  // written once under mutex_, before ready_ is set
};

}  // namespace kel
