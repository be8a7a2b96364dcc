#include "KELResMgr/net/Timeouts.h"

#include <algorithm>
#include <cstdlib>

namespace kel::net {

Milliseconds EffectiveTimeout(Milliseconds timeout, int test_scale) {
    const char* text = std::getenv(kTestTimeoutVariable);
    if (text == nullptr) {
        return timeout;
    }
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || value <= 0) {
        return timeout;
    }
    constexpr long long kDay = 24LL * 3600 * 1000;  // keeps the product in range
    return Milliseconds(std::min(value, kDay)) * test_scale;
}

}  // namespace kel::net
