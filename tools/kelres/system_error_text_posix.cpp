#include <cerrno>
#include <cstring>

#include "tools/kelres/system_error_text.h"

namespace kel::tool {

std::string LastSystemErrorText() {
    return std::strerror(errno);
}

}  // namespace kel::tool
