#include "platform/owner_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/file.h"

namespace kel::platform {
namespace {

// Never blocks on a pipe or device planted under the name, and never follows a link there.
int OpenToLock(const std::string& path, PathKind kind) {
    int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (kind == PathKind::kFolder) {
        flags |= O_DIRECTORY;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool IsOfKind(const struct stat& status, PathKind kind) {
    return kind == PathKind::kFolder ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
}

enum class Locking { kHeld, kTaken, kUnsupported };

Locking LockExclusively(int fd) {
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return Locking::kHeld;
    }
    // Anything but "held by another": the file system has no such locks (NFS refuses an
    // exclusive flock on a descriptor open for reading).
    return errno == EWOULDBLOCK ? Locking::kTaken : Locking::kUnsupported;
}

// True when path still names the file or folder open at fd: not removed, not replaced.
bool StillNamed(int fd, const std::string& path, PathKind kind) {
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && opened.st_nlink > 0 && IsOfKind(opened, kind) &&
           ::lstat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
           named.st_ino == opened.st_ino;
}

}  // namespace

void OwnerLock::Release() noexcept {
    if (handle_ != kNoHandle) {
        ::close(static_cast<int>(std::exchange(handle_, kNoHandle)));  // lets go of the flock
    }
}

std::optional<OwnerLock> OwnerLock::Take(const std::string& path, PathKind kind) {
    const int fd = OpenToLock(path, kind);
    if (fd < 0) {
        if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) {
            return std::nullopt;  // removed, or replaced by something else
        }
        throw FileError("lock", path, errno);
    }
    OwnerLock lock(fd);
    switch (LockExclusively(fd)) {
        case Locking::kTaken:
            return std::nullopt;
        case Locking::kUnsupported:
            return OwnerLock();
        case Locking::kHeld:
            break;
    }
    // A reclaimer that took the lock and removed the name before this one came is seen here.
    if (!StillNamed(fd, path, kind)) {
        return std::nullopt;
    }
    return lock;
}

bool OwnerLock::RenameAndRelease(const std::string& path, const std::string& to) {
    const bool renamed = SilentRename(path, to);
    Release();
    return renamed;
}

bool RemoveUnlessHeld(const std::string& path, PathKind kind) {
    const int fd = OpenToLock(path, kind);
    if (fd < 0) {
        return false;
    }
    const OwnerLock lock(fd);  // held while it removes
    if (LockExclusively(fd) != Locking::kHeld || !StillNamed(fd, path, kind)) {
        return false;
    }
    if (kind == PathKind::kFile) {
        return ::unlink(path.c_str()) == 0;
    }
    SilentDelete(path);
    return true;
}

}  // namespace kel::platform
