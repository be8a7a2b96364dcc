#include "KELResMgr/net/Timeouts.h"

#include <cstdlib>

namespace kel::net {

Milliseconds EffectiveTimeout(Milliseconds timeout) {
    const char* text = std::getenv(kTestTimeoutVariable);
    if (text == nullptr) {
        return timeout;
    }
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    return end != text && value > 0 ? Milliseconds(value) : timeout;
}

}  // namespace kel::net
