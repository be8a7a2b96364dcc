#include "platform/extraction.h"

#include <windows.h>

#include <algorithm>

namespace kel::platform {
namespace {

constexpr std::uint64_t kSecondsFrom1601To1970 = 11644473600ULL;
constexpr std::uint64_t kTicksPerSecond = 10000000ULL;  // FILETIME counts 100 ns

FILETIME ToFileTime(std::int64_t seconds_since_1970) {
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(seconds_since_1970) + kSecondsFrom1601To1970) * kTicksPerSecond;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

[[noreturn]] void Fail(const char* what_failed, const std::string& path) {
    throw FileError(what_failed, path, static_cast<int>(GetLastError()));
}

bool EqualsIgnoringCase(std::string_view text, std::string_view upper) {
    return std::equal(text.begin(), text.end(), upper.begin(), upper.end(), [](char a, char b) {
        return (a >= 'a' && a <= 'z' ? static_cast<char>(a - 'a' + 'A') : a) == b;
    });
}

// The system takes these as devices whatever follows a dot, and with blanks before it.
bool IsDeviceName(std::string_view level) {
    std::string_view stem = level.substr(0, level.find('.'));
    while (!stem.empty() && stem.back() == ' ') {
        stem.remove_suffix(1);
    }
    for (const std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
        if (EqualsIgnoringCase(stem, device)) {
            return true;
        }
    }
    if (stem.size() != 4 || stem[3] < '1' || stem[3] > '9') {
        return false;
    }
    return EqualsIgnoringCase(stem.substr(0, 3), "COM") ||
           EqualsIgnoringCase(stem.substr(0, 3), "LPT");
}

}  // namespace

bool IsStorableName(std::string_view level) {
    if (level.empty()) {
        return false;
    }
    if (level.back() == '.' || level.back() == ' ') {
        return false;
    }
    for (const char c : level) {
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string_view("<>:\"|?*").find(c) != std::string_view::npos) {
            return false;
        }
    }
    return !IsDeviceName(level);
}

bool IsRealFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

File CreateFresh(const std::string& path) {
    File file = File::TryOpen(path, File::Mode::kCreateNew);
    if (file.is_open()) {
        return file;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
        throw FileError("create", path, static_cast<int>(error));
    }
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Fail("replace", path);
    }
    const bool is_link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !is_link) {
        throw FileError("create", path, ERROR_DIRECTORY);
    }
    // A link goes itself, never what it points to; a read-only file is released first.
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryA(path.c_str())
                                                                 : DeleteFileA(path.c_str());
    if (!removed) {
        Fail("replace", path);
    }
    return File::Open(path, File::Mode::kCreateNew);
}

// The times and the attribute word go by path once the file is closed: a read-only word set on
// the open handle would not survive its last write.
void CloseWithEntryTimeAndAttributes(File& output, std::int64_t modified,
                                     std::uint32_t attributes) {
    output.Close();
    const std::string& path = output.path();
    if (!SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL)) {
        Fail("reset the attributes of", path);
    }
    const HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Fail("set the times of", path);
    }
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const FILETIME written = ToFileTime(modified);
    const BOOL set = SetFileTime(file, &now, &now, &written);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!set) {
        throw FileError("set the times of", path, static_cast<int>(error));
    }
    SetFileAttributesA(path.c_str(), attributes);  // the whole word; the result is ignored
}

}  // namespace kel::platform
