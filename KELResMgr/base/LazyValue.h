// A value computed at its first use and then kept, even when several threads need it at once.
#pragma once

#include <string>
#include <utility>

#include "platform/annotated_mutex.h"

namespace kel {

// Holds a string computed by the first Get that produces a non-empty one; an empty result is not
// kept, so the next Get computes again. Threads: any. The computation runs without the lock
// (it may read files or create folders), so threads that ask for the first time together may
// each compute; the first value published wins, every caller gets that one, and a losing
// value goes to the optional discard function (to undo what computing it made).
class LazyString {
  public:
    template <class Compute>
    std::string Get(Compute&& compute) KEL_EXCLUDES(mutex_) {
        return Get(std::forward<Compute>(compute), [](const std::string&) {});
    }

    template <class Compute, class Discard>
    std::string Get(Compute&& compute, Discard&& discard) KEL_EXCLUDES(mutex_) {
        if (std::string kept = Kept(); !kept.empty()) {
            return kept;
        }
        std::string computed = compute();
        if (computed.empty()) {
            return computed;
        }
        std::string winner = Publish(computed);
        if (winner != computed) {
            discard(computed);
        }
        return winner;
    }

  private:
    std::string Kept() const KEL_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return value_;
    }

    // Keeps computed unless another thread kept a value first; returns the value kept.
    std::string Publish(const std::string& computed) KEL_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        if (value_.empty()) {
            value_ = computed;
        }
        return value_;
    }

    mutable Mutex mutex_;
    std::string value_ KEL_GUARDED_BY(mutex_);  // empty until kept, then never changed
};

}  // namespace kel
