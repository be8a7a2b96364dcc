#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kel::platform {
namespace {

int Fd(std::intptr_t handle) {
    return static_cast<int>(handle);
}

// True for a regular file; otherwise false with errno set (EISDIR for a folder). The descriptor
// is made blocking again, as reads of regular files never wait anyway.
bool IsRegularFile(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    const int status = ::fcntl(fd, F_GETFL);
    return status >= 0 && ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == 0;
}

}  // namespace

FileError::FileError(const std::string& what_failed, const std::string& path, int error_number)
    : std::runtime_error("cannot " + what_failed + " " + path + ": " + std::strerror(error_number)),
      path_(path),
      error_number_(error_number) {}

File::~File() {
    if (handle_ != kNoHandle) {
        ::close(static_cast<int>(handle_));
    }
}

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)), path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (handle_ != kNoHandle) {
            ::close(static_cast<int>(handle_));
        }
        handle_ = std::exchange(other.handle_, kNoHandle);
        path_ = std::move(other.path_);
    }
    return *this;
}

File File::TryOpen(const std::string& path, Mode mode, int* error_number) noexcept {
    int flags = O_RDONLY;
    if (mode == Mode::kCreateWrite) {
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    } else if (mode == Mode::kCreateNew) {
        flags = O_WRONLY | O_CREAT | O_EXCL;
    } else if (mode == Mode::kWriteExisting) {
        flags = O_WRONLY;
    }
    if (mode == Mode::kRead) {
        // Opening a named pipe for reading would wait for a writer, and a device may block or
        // answer for ever: only a regular file is read, and finding out never blocks.
        flags |= O_NONBLOCK | O_NOCTTY;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && mode == Mode::kRead && !IsRegularFile(fd)) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        if (error_number != nullptr) {
            *error_number = errno;
        }
        return File();
    }
    try {
        return File(fd, path);
    } catch (...) {  // the path's copy could not be made
        ::close(fd);
        if (error_number != nullptr) {
            *error_number = ENOMEM;
        }
        return File();
    }
}

namespace {

// Calls read_some(done) until size bytes have come or it reports the end (0); retries EINTR.
template <class ReadSome>
std::size_t ReadFully(std::size_t size, const std::string& path, ReadSome&& read_some) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = read_some(done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw FileError("read", path, errno);
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

}  // namespace

std::size_t File::Read(void* buffer, std::size_t size) {
    auto* out = static_cast<char*>(buffer);
    return ReadFully(size, path_, [&](std::size_t done) {
        return ::read(Fd(handle_), out + done, size - done);
    });
}

std::size_t File::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    auto* out = static_cast<char*>(buffer);
    return ReadFully(size, path_, [&](std::size_t done) {
        return ::pread(Fd(handle_), out + done, size - done, static_cast<off_t>(offset + done));
    });
}

void File::Write(const void* buffer, std::size_t size) {
    const auto* in = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(Fd(handle_), in + done, size - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0) {
            throw FileError("write", path_, errno);
        }
        done += static_cast<std::size_t>(put);
    }
}

void File::Seek(std::uint64_t offset) {
    if (::lseek(Fd(handle_), static_cast<off_t>(offset), SEEK_SET) < 0) {
        throw FileError("seek in", path_, errno);
    }
}

std::uint64_t File::Size() const {
    struct stat info {};
    if (::fstat(Fd(handle_), &info) != 0) {
        throw FileError("read the size of", path_, errno);
    }
    return static_cast<std::uint64_t>(info.st_size);
}

void File::SetModificationTime(std::int64_t seconds) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
    if (::futimens(Fd(handle_), times) != 0) {
        throw FileError("set the time of", path_, errno);
    }
}

bool File::RemoveWritePermission() noexcept {
    struct stat info {};
    return ::fstat(Fd(handle_), &info) == 0 && ::fchmod(Fd(handle_), info.st_mode & 07555) == 0;
}

void File::Flush() {
    if (::fsync(Fd(handle_)) != 0) {
        throw FileError("write", path_, errno);
    }
}

void File::StartWriteback() noexcept {
#if defined(__linux__)
    ::sync_file_range(Fd(handle_), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

void File::Close() {
    if (handle_ == kNoHandle) {
        return;
    }
    const int fd = Fd(std::exchange(handle_, kNoHandle));
    if (::close(fd) != 0 && errno != EINTR) {
        throw FileError("close", path_, errno);
    }
}

const int kDiskFullError = ENOSPC;
const int kFileExistsError = EEXIST;

std::optional<std::uint64_t> AvailableSpace(const std::string& path) noexcept {
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

std::optional<std::uint64_t> AvailableInodes(const std::string& path) noexcept {
    struct statvfs info {};
    // A file system without a fixed inode table (btrfs) reports none at all.
    if (::statvfs(path.c_str(), &info) != 0 || info.f_files == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(info.f_favail);
}

}  // namespace kel::platform
