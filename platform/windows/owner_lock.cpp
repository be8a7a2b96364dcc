#include "platform/owner_lock.h"

#include <windows.h>

#include <utility>

#include "platform/file.h"

namespace kel::platform {
namespace {

// Deletion is not shared: no handle opened to delete or rename can be had while this one is
// open. A folder's handle also reads its listing, an access that is checked against the handles
// already open: one that a reclaimer holds to delete the folder refuses it.
constexpr DWORD kLockSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

DWORD LockAccess(PathKind kind) {
    return FILE_READ_ATTRIBUTES | SYNCHRONIZE |
           (kind == PathKind::kFolder ? FILE_LIST_DIRECTORY : 0);
}

bool IsOfKind(HANDLE handle, PathKind kind) {
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info) ||
        (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    const bool folder = (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return folder == (kind == PathKind::kFolder);
}

}  // namespace

void OwnerLock::Release() noexcept {
    if (handle_ != kNoHandle) {
        CloseHandle(reinterpret_cast<HANDLE>(std::exchange(handle_, kNoHandle)));
    }
}

std::optional<OwnerLock> OwnerLock::Take(const std::string& path, PathKind kind) {
    const HANDLE handle =
        CreateFileA(path.c_str(), LockAccess(kind), kLockSharing, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // Removed, held by a reclaimer, or pending deletion.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) {
            return std::nullopt;
        }
        throw FileError("lock", path, static_cast<int>(error));
    }
    OwnerLock lock(reinterpret_cast<Handle>(handle));
    if (!IsOfKind(handle, kind)) {
        return std::nullopt;
    }
    return lock;
}

bool OwnerLock::RenameAndRelease(const std::string& path, const std::string& to) {
    Release();
    return SilentRename(path, to);
}

}  // namespace kel::platform
