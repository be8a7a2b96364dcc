// What the platforms' file implementations share.
#include "platform/file.h"

namespace kel::platform {

File File::Open(const std::string& path, Mode mode) {
    int error_number = 0;
    File file = TryOpen(path, mode, &error_number);
    if (!file.is_open()) {
        throw FileError(mode == Mode::kRead ? "open" : "create", path, error_number);
    }
    return file;
}

}  // namespace kel::platform
