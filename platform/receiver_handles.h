// Handles of receivers: 32-bit, even, never 0.
#pragma once

#include <cstdint>

namespace kel::platform {

// Hands out receiver handles in increasing order. After about 2^31 handles the counter wraps: it
// then starts again at kFirst and skips every handle that is still in use, so a live receiver's
// handle is never handed out twice and the null handle never at all. Not thread-safe: the registry
// calls it under its lock.
class ReceiverHandles {
  public:
    static constexpr std::uint32_t kFirst = 0x10000;

    // last: the handle given out last; the next one is last + 2.
    explicit ReceiverHandles(std::uint32_t last = kFirst) : last_(last) {}

    // The next handle that is not a key of in_use (the live receivers). 0 only when every handle
    // is taken.
    template <class Set>
    std::uint32_t Next(const Set& in_use) {
        constexpr std::uint32_t kCount = (0u - kFirst) / 2;  // even handles from kFirst up
        for (std::uint32_t tried = 0; tried < kCount; ++tried) {
            last_ = (last_ >= 0xFFFFFFFEu || last_ < kFirst) ? kFirst : last_ + 2;
            if (in_use.count(last_) == 0) {
                return last_;
            }
        }
        return 0;
    }

  private:
    std::uint32_t last_;
};

}  // namespace kel::platform
