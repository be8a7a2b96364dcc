#include "tools/kelres/local_time.h"

namespace kel::tool {

bool ToLocalTime(std::time_t time, std::tm* local) {
    return localtime_r(&time, local) != nullptr;
}

}  // namespace kel::tool
