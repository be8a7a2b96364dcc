// Silent delete and rename with the kernel's own calls (DeleteFileW, RemoveDirectoryW,
// MoveFileExA) rather than the shell's SHFileOperationA: the result is the same for the files
// and folders the library handles (no confirmation, no error display, no recycle bin), it needs
// no shell on a worker thread, and the walk of a folder tree removes a link or junction inside it
// without entering it, so nothing outside the tree is ever deleted.
#include "platform/file_ops.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "platform/owner_lock.h"
#include "platform/path.h"

namespace kel::platform {
namespace {

void DropTrailingSeparator(std::string& path) {
    if (!path.empty() && IsPathSeparator(path.back())) {
        path.pop_back();
    }
}

bool IsFolderItself(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The library's own paths are ANSI text; what an extraction made below them may have names of no
// ANSI form (they came as UTF-8), so trees are walked with the wide calls.
std::wstring Widen(const std::string& path) {
    const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int size = static_cast<int>(path.size());
    const int length = MultiByteToWideChar(code_page, 0, path.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(length, 0)), L'\0');
    MultiByteToWideChar(code_page, 0, path.data(), size, wide.data(), length);
    return wide;
}

// Removes one name: a file, a link (a folder link with RemoveDirectoryW, which leaves its
// target alone), or an empty folder. Read-only files are removed too.
bool RemoveOne(const std::wstring& path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return RemoveDirectoryW(path.c_str()) != 0;
    }
    return DeleteFileW(path.c_str()) != 0;
}

void RemoveTree(const std::wstring& path, DWORD attributes) {
    if (IsFolderItself(attributes)) {
        WIN32_FIND_DATAW entry{};
        const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring_view name = entry.cFileName;
                if (name != L"." && name != L"..") {
                    RemoveTree(path + L"\\" + entry.cFileName, entry.dwFileAttributes);
                }
            } while (FindNextFileW(search, &entry));
            FindClose(search);
        }
    }
    RemoveOne(path, attributes);
}

// The names and attributes in the open folder, read through its own handle: a search by its path
// is refused while a handle that may delete it is open.
std::vector<std::pair<std::wstring, DWORD>> ListThrough(HANDLE folder) {
    std::vector<std::pair<std::wstring, DWORD>> entries;
    std::vector<LONGLONG> buffer(8192);  // 64 KiB, aligned as the records need
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(LONGLONG));
    FILE_INFO_BY_HANDLE_CLASS part = FileFullDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, part, buffer.data(), size)) {
        part = FileFullDirectoryInfo;
        const char* at = reinterpret_cast<const char*>(buffer.data());
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
            const std::wstring_view name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                entries.emplace_back(name, entry->FileAttributes);
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
    return entries;
}

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};

}  // namespace

std::string TempFolder() {
    char buffer[MAX_PATH + 1] = "";
    const DWORD length = GetTempPathA(sizeof buffer, buffer);
    if (length == 0 || length > MAX_PATH) {
        return {};
    }
    return WithTrailingSeparator(std::string(buffer, length));
}

std::string MakeTempFileName(std::string_view prefix) {
    const std::string folder = TempFolder();
    if (folder.empty()) {
        return {};
    }
    const std::string prefix_text(prefix);
    char buffer[MAX_PATH] = "";
    // Unique number 0: the system picks the name and creates the empty file.
    if (GetTempFileNameA(folder.c_str(), prefix_text.c_str(), 0, buffer) == 0) {
        return {};
    }
    return buffer;
}

void SilentDelete(std::string path) {
    DropTrailingSeparator(path);
    if (path.empty()) {
        return;
    }
    const std::wstring wide = Widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        RemoveTree(wide, attributes);
    }
}

// The lock test and the removal are one handle: opened to delete, without sharing deletion, it
// can only be had while no OwnerLock holds the name, and while it is open none can be taken.
bool RemoveUnlessHeld(const std::string& path, PathKind kind) {
    const std::wstring wide = Widen(path);
    const DWORD listing = kind == PathKind::kFolder ? FILE_LIST_DIRECTORY : 0;
    const HANDLE opened = CreateFileW(
        wide.c_str(), DELETE | listing | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return false;  // held, gone, or refused
    }
    const std::unique_ptr<void, HandleCloser> handle(opened);
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(opened, FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != (kind == PathKind::kFolder)) {
        return false;
    }
    if (kind == PathKind::kFolder) {
        for (const auto& [name, attributes] : ListThrough(opened)) {
            RemoveTree(wide + L"\\" + name, attributes);
        }
    } else if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO normal{};  // zero times stay as they are
        normal.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(opened, FileBasicInfo, &normal, sizeof normal);
    }
    // The name goes when the handle closes.
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(opened, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

bool RemoveFile(const std::string& path) {
    const DWORD attributes =
        path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;  // a folder link is a folder here, and is left too
    }
    return RemoveOne(Widen(path), attributes);
}

bool SilentRename(std::string from, std::string to) {
    DropTrailingSeparator(from);
    DropTrailingSeparator(to);
    if (from.empty() || to.empty()) {
        return false;
    }
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry{};
    const HANDLE found = FindFirstFileA(JoinPath(folder, "*").c_str(), &entry);
    if (found == INVALID_HANDLE_VALUE) {
        return names;
    }
    const std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> search(found, &FindClose);
    do {
        const std::string_view name = entry.cFileName;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    } while (FindNextFileA(search.get(), &entry));
    return names;
}

bool CreateOneFolder(const std::string& path) {
    return !path.empty() && CreateDirectoryA(path.c_str(), nullptr) != 0;
}

PathKind KindOf(const std::string& path) {
    const DWORD attributes =
        path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PathKind::kMissing;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kFolder : PathKind::kFile;
}

}  // namespace kel::platform
