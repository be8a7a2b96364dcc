// Telling what a live process is writing in a folder that processes share from what a process
// that ended left there: the writer holds a lock on each file or folder it works on for as long
// as it works on it, and the system lets go of the lock when the process ends, however it ends.
// Nothing here looks at times: a clock set forward makes live work look old.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/file_ops.h"

namespace kel::platform {

// A held claim on a file or folder that this process made. Move-only; the destructor lets go.
// Used by one thread at a time.
//  - POSIX: an flock on an open description of its own (a second open of the same file, in this
//    process too, cannot take it), made with O_CLOEXEC so that no program the host starts keeps
//    it.
//  - Windows: a handle that does not share deletion: no other handle, of any process, can delete
//    or rename what it holds. A held folder's handle reads its listing, so that it also refuses a
//    handle opened to delete the folder meanwhile.
class OwnerLock {
  public:
    OwnerLock() = default;
    ~OwnerLock() { Release(); }
    OwnerLock(OwnerLock&& other) noexcept : handle_(std::exchange(other.handle_, kNoHandle)) {}
    OwnerLock& operator=(OwnerLock&& other) noexcept {
        if (this != &other) {
            Release();
            handle_ = std::exchange(other.handle_, kNoHandle);
        }
        return *this;
    }
    OwnerLock(const OwnerLock&) = delete;
    OwnerLock& operator=(const OwnerLock&) = delete;

    // Takes the lock on the file (kind kFile) or folder (kFolder) that this process has just made
    // at path under a fresh name, before anything is written into it. nullopt when path does not
    // name it any more, or another process holds it: one that found it unheld in the instant
    // after it was made, and is removing it; the caller makes another. A lock that holds nothing
    // (held() false) where the file system has no such locks (a network file system, say): what
    // is made there is never reclaimed either. Throws FileError when it cannot be opened for
    // another reason (no descriptor left).
    static std::optional<OwnerLock> Take(const std::string& path, PathKind kind);

    bool held() const { return handle_ != kNoHandle; }

    // Renames the held path to `to`, as SilentRename does, and lets go: after the rename where
    // a held name can be renamed (POSIX), so that no one finds it unheld under the old name; on
    // Windows before, as a held name cannot be renamed there.
    bool RenameAndRelease(const std::string& path, const std::string& to);

    void Release() noexcept;

  private:
    friend bool RemoveUnlessHeld(const std::string& path, PathKind kind);

    // A file descriptor, or a Windows handle; -1 when there is none.
    using Handle = std::intptr_t;
    static constexpr Handle kNoHandle = -1;

    explicit OwnerLock(Handle handle) : handle_(handle) {}
    Handle handle_ = kNoHandle;
};

// Removes the file (kind kFile) or the folder with everything in it (kFolder) at path when no
// process holds it with an OwnerLock: its maker has ended. False, with nothing touched, when it
// is held, is not of that kind (a link is neither), is gone, or the file system has no such
// locks. While it removes, it holds the lock itself, so that a maker that has just created the
// name cannot take it (and makes another).
bool RemoveUnlessHeld(const std::string& path, PathKind kind);

}  // namespace kel::platform
