#include "platform/extraction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace kel::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kAttributeReadOnly = 0x01;

// A folder handle is only ever a starting point of look-ups: O_PATH spares the kernel the
// permission check and the file operations of a real open.
#if defined(O_PATH)
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif

template <class Call>
int RetryInterrupted(Call&& call) {
    int result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// A link in the last place fails the open with ELOOP (or ENOTDIR with O_DIRECTORY), a file with
// ENOTDIR: neither is a folder that may be written into.
[[noreturn]] void FailOpenFolder(const std::string& path, int error_number) {
    if (error_number == ELOOP || error_number == ENOTDIR) {
        throw std::invalid_argument("not a folder: " + path);
    }
    throw FileError("open the folder", path, error_number);
}

}  // namespace

bool IsStorableName(std::string_view, NameText) {
    return true;
}

bool IsRealFolder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(fs::symlink_status(path, ec)) && !ec;
}

void Folder::Close() noexcept {
    if (handle_ != kNoHandle) {
        ::close(static_cast<int>(std::exchange(handle_, kNoHandle)));
    }
}

Folder Folder::Open(const std::string& path) {
    const int fd = RetryInterrupted([&] { return ::open(path.c_str(), kFolderFlags); });
    if (fd < 0) {
        FailOpenFolder(path, errno);
    }
    return Folder(fd, 0);
}

Folder Folder::OpenOrCreateFolder(std::string_view name, NameText, const std::string& path) const {
    const std::string level(name);
    const int parent = static_cast<int>(handle_);
    // Opened first: most levels exist already after their first entry.
    int fd = RetryInterrupted([&] { return ::openat(parent, level.c_str(), kFolderFlags); });
    if (fd < 0 && errno == ENOENT) {
        // EEXIST: made meanwhile by someone else, and checked by the open that follows.
        if (::mkdirat(parent, level.c_str(), 0777) != 0 && errno != EEXIST) {
            throw FileError("create the folder", path, errno);
        }
        fd = RetryInterrupted([&] { return ::openat(parent, level.c_str(), kFolderFlags); });
    }
    if (fd < 0) {
        FailOpenFolder(path, errno);
    }
    return Folder(fd, 0);
}

File Folder::CreateFresh(std::string_view name, NameText, const std::string& path) const {
    const std::string leaf(name);
    const int parent = static_cast<int>(handle_);
    // O_EXCL refuses a link of that name as it refuses a file: neither is ever followed.
    auto create = [&] {
        return RetryInterrupted([&] {
            return ::openat(parent, leaf.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        });
    };
    int fd = create();
    if (fd < 0 && errno == EEXIST) {
        struct stat status {};
        if (::fstatat(parent, leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(status.st_mode)) {
            throw FileError("create", path, EISDIR);
        }
        // The name itself goes, a link never what it points to.
        if (::unlinkat(parent, leaf.c_str(), 0) != 0 && errno != ENOENT) {
            throw FileError("replace", path, errno);
        }
        fd = create();
    }
    if (fd < 0) {
        throw FileError("create", path, errno);
    }
    try {
        return File(fd, path);
    } catch (...) {  // the path's copy could not be made
        ::close(fd);
        throw;
    }
}

void CloseWithEntryTimeAndAttributes(File& output, std::int64_t modified,
                                     std::uint32_t attributes) {
    output.SetModificationTime(modified);
    if (attributes & kAttributeReadOnly) {
        output.RemoveWritePermission();  // its failure is ignored, as the attribute call's is
    }
    output.Close();
}

const std::size_t kFoldersKeptOpen = 16;

const bool kNamesIgnoreCase = false;

std::optional<std::string> NameAsUtf8(std::string_view name, NameText) {
    return std::string(name);
}

}  // namespace kel::platform
