#include "tools/kelres/local_time.h"

namespace kel::tool {

bool ToLocalTime(std::time_t time, std::tm* local) {
    return localtime_s(local, &time) == 0;
}

}  // namespace kel::tool
