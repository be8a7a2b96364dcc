#include "platform/extraction.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace kel::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kAttributeReadOnly = 0x01;

}  // namespace

bool IsStorableName(std::string_view) {
    return true;
}

bool IsRealFolder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(fs::symlink_status(path, ec)) && !ec;
}

File CreateFresh(const std::string& path) {
    File file = File::TryOpen(path, File::Mode::kCreateNew);
    if (file.is_open()) {
        return file;
    }
    if (errno != EEXIST) {
        throw FileError("create", path, errno);
    }
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (!ec && fs::is_directory(status)) {
        throw FileError("create", path, EISDIR);
    }
    if (ec || !fs::remove(path, ec)) {
        throw FileError("replace", path, ec ? ec.value() : ENOENT);
    }
    return File::Open(path, File::Mode::kCreateNew);
}

void CloseWithEntryTimeAndAttributes(File& output, std::int64_t modified,
                                     std::uint32_t attributes) {
    output.SetModificationTime(modified);
    if (attributes & kAttributeReadOnly) {
        output.RemoveWritePermission();  // its failure is ignored, as the attribute call's is
    }
    output.Close();
}

}  // namespace kel::platform
