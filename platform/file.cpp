// What the platforms' file and folder implementations share.
#include "platform/file.h"

#include <utility>

#include "platform/extraction.h"

namespace kel::platform {

File File::Open(const std::string& path, Mode mode) {
    int error_number = 0;
    File file = TryOpen(path, mode, &error_number);
    if (!file.is_open()) {
        throw FileError(mode == Mode::kRead ? "open" : "create", path, error_number);
    }
    return file;
}

// Only the close is the platform's own.
Folder::~Folder() {
    Close();
}

Folder::Folder(Folder&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)), path_units_(other.path_units_) {}

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, kNoHandle);
        path_units_ = other.path_units_;
    }
    return *this;
}

}  // namespace kel::platform
