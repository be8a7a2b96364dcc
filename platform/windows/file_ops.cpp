// Silent delete and rename with the kernel's own calls (DeleteFileW, RemoveDirectoryW,
// MoveFileExA) rather than the shell's SHFileOperationA: the result is the same for the files
// and folders the library handles (no confirmation, no error display, no recycle bin), it needs
// no shell on a worker thread, and the walk of a folder tree removes a link or junction inside it
// without entering it, so nothing outside the tree is ever deleted.
#include "platform/file_ops.h"

#include <windows.h>

#include <algorithm>
#include <memory>

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

std::vector<std::string> FilesUnchangedFor(const std::string& folder, std::int64_t seconds) {
    std::vector<std::string> names;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    constexpr std::int64_t kTicksPerSecond = 10000000;  // FILETIME counts 100 ns
    WIN32_FIND_DATAA entry{};
    const HANDLE found = FindFirstFileA(JoinPath(folder, "*").c_str(), &entry);
    if (found == INVALID_HANDLE_VALUE) {
        return names;
    }
    const std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> search(found, &FindClose);
    do {
        const bool plain = (entry.dwFileAttributes &
                            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
        if (plain && ticks(now) - ticks(entry.ftLastWriteTime) >= seconds * kTicksPerSecond) {
            names.emplace_back(entry.cFileName);
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
