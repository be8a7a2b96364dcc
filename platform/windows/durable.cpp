#include "platform/durable.h"

#include <windows.h>

#include <filesystem>
#include <system_error>

namespace kel::platform {
namespace {

namespace fs = std::filesystem;

// Flushes a folder's entries: FlushFileBuffers on the folder, which takes a handle opened for
// writing. Best effort: file systems that cannot flush a folder (FAT) refuse the call.
void FlushFolder(const fs::path& folder) noexcept {
    const HANDLE handle = CreateFileW(
        folder.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    FlushFileBuffers(handle);
    CloseHandle(handle);
}

// The path of 8-bit text as the ANSI file calls read it.
fs::path AnsiPath(const std::string& path) {
    const int length = MultiByteToWideChar(AreFileApisANSI() ? CP_ACP : CP_OEMCP, 0, path.data(),
                                           static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(AreFileApisANSI() ? CP_ACP : CP_OEMCP, 0, path.data(),
                            static_cast<int>(path.size()), wide.data(), length);
    }
    return fs::path(wide);
}

}  // namespace

void SecureExtractedFile(File& file) {
    file.Flush();
    NoteDurableStep(DurableStep::kFile, file.path());
}

void MakeTreeDurable(const std::string& folder) {
    const fs::path root = AnsiPath(folder);
    std::error_code ec;
    // Links and junctions are not entered: the extraction makes none.
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            FlushFolder(it->path());
        }
    }
    FlushFolder(root);
    NoteDurableStep(DurableStep::kTree, folder);
}

void MakeEntriesDurable(const std::string& folder) noexcept {
    try {
        FlushFolder(AnsiPath(folder));
    } catch (...) {
        // The path's copy could not be made: nothing flushed.
    }
    NoteDurableStep(DurableStep::kEntries, folder);
}

}  // namespace kel::platform
