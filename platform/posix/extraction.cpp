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

void ApplyEntryTimeAndAttributes(const std::string& path, std::int64_t modified,
                                 std::uint32_t attributes) {
    const auto time = std::chrono::system_clock::time_point(std::chrono::seconds(modified));
    std::error_code ec;
    fs::last_write_time(path, std::chrono::file_clock::from_sys(time), ec);
    if (ec) {
        throw FileError("set the time of", path, ec.value());
    }
    if (attributes & kAttributeReadOnly) {
        fs::permissions(path,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove, ec);
    }
}

}  // namespace kel::platform
