#include "platform/extraction.h"

#include "platform/windows_names.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>

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

HANDLE Native(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Folders are held open for look-ups, and so that they cannot be renamed or removed meanwhile:
// their deletion is not shared.
constexpr ACCESS_MASK kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The ANSI file calls take folder paths of at most MAX_PATH - 12 characters (room for an 8.3
// name) and file paths of fewer than MAX_PATH. The relative opens keep those limits, so that what
// can be unpacked does not depend on how it is opened.
constexpr std::size_t kLongestFolderPath = MAX_PATH - 12;
constexpr std::size_t kLongestFilePath = MAX_PATH - 1;

void RequireAnsiLength(const char* what_failed, const std::string& path, std::size_t longest) {
    if (path.size() > longest) {
        throw FileError(what_failed, path, ERROR_FILENAME_EXCED_RANGE);
    }
}

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
// Null when there is none.
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct Opened {
    UniqueHandle handle;
    DWORD error = 0;        // the Windows error when no handle came
    ULONG_PTR outcome = 0;  // FILE_CREATED, FILE_OPENED, ...
};

// Opens name in the open folder parent: only that one level is looked up, from the folder
// itself, whatever its path names now. The name is taken as the ANSI file calls take it.
Opened OpenIn(HANDLE parent, std::string_view name, ACCESS_MASK access, ULONG sharing,
              ULONG disposition, ULONG options) {
    const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int size = static_cast<int>(name.size());
    const int length = MultiByteToWideChar(code_page, 0, name.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(code_page, 0, name.data(), size, wide.data(), length);
    UNICODE_STRING object_name;
    object_name.Buffer = wide.data();
    object_name.Length = object_name.MaximumLength =
        static_cast<USHORT>(wide.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, parent, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        NtCreateFile(&handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, sharing,
                     disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        return {nullptr, RtlNtStatusToDosError(status)};
    }
    return {UniqueHandle(handle), 0, io.Information};
}

// False also when the attributes cannot be read.
bool IsFolderItself(HANDLE handle) {
    FILE_BASIC_INFO info{};
    return GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info) &&
           (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Removes the file, or the link or junction, called name in parent; a folder stays.
void RemoveEntry(HANDLE parent, std::string_view name, const std::string& path) {
    const Opened opened = OpenIn(
        parent, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
    if (!opened.handle) {
        throw FileError("replace", path, static_cast<int>(opened.error));
    }
    const HANDLE entry = opened.handle.get();
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof basic)) {
        Fail("replace", path);
    }
    const bool is_link = (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !is_link) {
        throw FileError("create", path, ERROR_DIRECTORY);
    }
    // A read-only file is released first; zero times stay as they are.
    if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO normal{};
        normal.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(entry, FileBasicInfo, &normal, sizeof normal);
    }
    // The name goes when the handle closes: a link itself, never what it points to.
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition)) {
        Fail("replace", path);
    }
}

}  // namespace

bool IsStorableName(std::string_view level) {
    return IsStorableOnWindows(level);
}

bool IsRealFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

void Folder::Close() noexcept {
    if (handle_ != kNoHandle) {
        CloseHandle(Native(std::exchange(handle_, kNoHandle)));
    }
}

Folder Folder::Open(const std::string& path) {
    const HANDLE opened =
        CreateFileA(path.c_str(), kFolderAccess, kFolderSharing, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        Fail("open the folder", path);
    }
    Folder folder(reinterpret_cast<std::intptr_t>(opened));
    if (!IsFolderItself(opened)) {
        throw std::invalid_argument("not a folder: " + path);
    }
    return folder;
}

Folder Folder::OpenOrCreateFolder(std::string_view name, const std::string& path) const {
    RequireAnsiLength("create the folder", path, kLongestFolderPath);
    // A link or junction of that name is opened itself, and refused below.
    Opened opened = OpenIn(Native(handle_), name, kFolderAccess, kFolderSharing, FILE_OPEN_IF,
                           FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    if (!opened.handle) {
        if (opened.error == ERROR_DIRECTORY) {  // a file of that name
            throw std::invalid_argument("not a folder: " + path);
        }
        throw FileError("open the folder", path, static_cast<int>(opened.error));
    }
    const HANDLE handle = opened.handle.release();
    Folder folder(reinterpret_cast<std::intptr_t>(handle));
    // One made just now in this folder is a plain folder.
    if (opened.outcome != FILE_CREATED && !IsFolderItself(handle)) {
        throw std::invalid_argument("not a folder: " + path);
    }
    return folder;
}

File Folder::CreateFresh(std::string_view name, const std::string& path) const {
    RequireAnsiLength("create", path, kLongestFilePath);
    // The access and sharing of CreateFileA's GENERIC_WRITE, CREATE_NEW; a link of that name
    // counts as taken and is never followed.
    auto create = [&] {
        return OpenIn(Native(handle_), name, FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0,
                      FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    };
    Opened opened = create();
    if (!opened.handle && opened.error == ERROR_ALREADY_EXISTS) {
        RemoveEntry(Native(handle_), name, path);
        opened = create();
    }
    if (!opened.handle) {
        throw FileError("create", path, static_cast<int>(opened.error));
    }
    File created(reinterpret_cast<std::intptr_t>(opened.handle.get()), path);
    opened.handle.release();  // now the file's
    return created;
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
