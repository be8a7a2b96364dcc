#include "platform/extraction.h"

#include "platform/windows_names.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

namespace kel::platform {
namespace {

constexpr std::uint64_t kSecondsFrom1601To1970 = 11644473600ULL;
constexpr std::uint64_t kTicksPerSecond = 10000000ULL;  // FILETIME counts 100 ns

LONGLONG ToTicks(std::int64_t seconds_since_1970) {
    return static_cast<LONGLONG>(
        (static_cast<std::uint64_t>(seconds_since_1970) + kSecondsFrom1601To1970) *
        kTicksPerSecond);
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

void RequireAnsiLength(const char* what_failed, const std::string& path, std::size_t units,
                       std::size_t longest) {
    if (units > longest) {
        throw FileError(what_failed, path, ERROR_FILENAME_EXCED_RANGE);
    }
}

// The UTF-16 form of text; nothing when it does not convert. 8-bit text is read as the ANSI file
// calls read it.
std::optional<std::wstring> Widen(std::string_view text, NameText encoding) {
    if (text.empty()) {
        return std::wstring();
    }
    const UINT code_page =
        encoding == NameText::kUtf8 ? CP_UTF8 : (AreFileApisANSI() ? CP_ACP : CP_OEMCP);
    const int size = static_cast<int>(text.size());
    const int length =
        MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), length);
    return wide;
}

// One level as the system is given it, when the system stores it under that very name.
std::optional<std::wstring> StorableLevel(std::string_view level, NameText text) {
    std::optional<std::wstring> wide = Widen(level, text);
    if (!wide || wide->find_first_of(L"\\/") != std::wstring::npos || !IsStorableOnWindows(*wide)) {
        return std::nullopt;
    }
    return wide;
}

// The extraction checks every level before it is opened (IsStorableName): one refused here is a
// caller's fault, still never opened.
std::wstring LevelName(std::string_view name, NameText text, const std::string& path) {
    std::optional<std::wstring> wide = StorableLevel(name, text);
    if (!wide) {
        throw FileError("name", path, ERROR_INVALID_NAME);
    }
    return std::move(*wide);
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
// itself, whatever its path names now.
Opened OpenIn(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG sharing,
              ULONG disposition, ULONG options) {
    UNICODE_STRING object_name;
    object_name.Buffer = const_cast<wchar_t*>(name.data());
    object_name.Length = object_name.MaximumLength =
        static_cast<USHORT>(name.size() * sizeof(wchar_t));
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
void RemoveEntry(HANDLE parent, const std::wstring& name, const std::string& path) {
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

bool IsStorableName(std::string_view level, NameText text) {
    return StorableLevel(level, text).has_value();
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
    const std::optional<std::wstring> wide = Widen(path, NameText::kSystem);
    Folder folder(reinterpret_cast<std::intptr_t>(opened), wide ? wide->size() : path.size());
    if (!IsFolderItself(opened)) {
        throw std::invalid_argument("not a folder: " + path);
    }
    return folder;
}

Folder Folder::OpenOrCreateFolder(std::string_view name, NameText text,
                                  const std::string& path) const {
    const std::wstring level = LevelName(name, text, path);
    const std::size_t units = path_units_ + 1 + level.size();
    RequireAnsiLength("create the folder", path, units, kLongestFolderPath);
    // A link or junction of that name is opened itself, and refused below.
    Opened opened = OpenIn(Native(handle_), level, kFolderAccess, kFolderSharing, FILE_OPEN_IF,
                           FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    if (!opened.handle) {
        if (opened.error == ERROR_DIRECTORY) {  // a file of that name
            throw std::invalid_argument("not a folder: " + path);
        }
        throw FileError("open the folder", path, static_cast<int>(opened.error));
    }
    const HANDLE handle = opened.handle.release();
    Folder folder(reinterpret_cast<std::intptr_t>(handle), units);
    // One made just now in this folder is a plain folder.
    if (opened.outcome != FILE_CREATED && !IsFolderItself(handle)) {
        throw std::invalid_argument("not a folder: " + path);
    }
    return folder;
}

File Folder::CreateFresh(std::string_view name, NameText text, const std::string& path) const {
    const std::wstring leaf = LevelName(name, text, path);
    RequireAnsiLength("create", path, path_units_ + 1 + leaf.size(), kLongestFilePath);
    // The access and sharing of CreateFileA's GENERIC_WRITE, CREATE_NEW; a link of that name
    // counts as taken and is never followed.
    auto create = [&] {
        return OpenIn(Native(handle_), leaf, FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0,
                      FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    };
    Opened opened = create();
    if (!opened.handle && opened.error == ERROR_ALREADY_EXISTS) {
        RemoveEntry(Native(handle_), leaf, path);
        opened = create();
    }
    if (!opened.handle) {
        throw FileError("create", path, static_cast<int>(opened.error));
    }
    File created(reinterpret_cast<std::intptr_t>(opened.handle.get()), path);
    opened.handle.release();  // now the file's
    return created;
}

// Times and attribute word through the open file: no look-up of its path, whatever its name.
// Set after the last write, so no write changes them.
void CloseWithEntryTimeAndAttributes(File& output, std::int64_t modified,
                                     std::uint32_t attributes) {
    const HANDLE file = Native(output.handle_);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    FILE_BASIC_INFO info{};
    info.CreationTime.QuadPart = info.LastAccessTime.QuadPart =
        static_cast<LONGLONG>((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
    info.LastWriteTime.QuadPart = ToTicks(modified);
    // As SetFileAttributes takes it: a zero word makes a normal file (here zero would mean "leave
    // as it is").
    const DWORD word = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    info.FileAttributes = word;
    if (!SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info)) {
        // A word the system refuses: the times alone, then the word alone, its result ignored.
        info.FileAttributes = 0;
        if (!SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info)) {
            Fail("set the times of", output.path());
        }
        FILE_BASIC_INFO word_only{};
        word_only.FileAttributes = word;
        SetFileInformationByHandle(file, FileBasicInfo, &word_only, sizeof word_only);
    }
    output.Close();
}

const std::size_t kFoldersKeptOpen = 128;

const bool kNamesIgnoreCase = true;

std::optional<std::string> NameAsUtf8(std::string_view name, NameText text) {
    if (text == NameText::kUtf8) {
        return std::string(name);
    }
    const std::optional<std::wstring> wide = Widen(name, text);
    if (!wide || wide->empty()) {
        return wide ? std::optional<std::string>(std::string()) : std::nullopt;
    }
    const int units = static_cast<int>(wide->size());
    const int length =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide->data(), units, nullptr, 0,
                            nullptr, nullptr);
    if (length <= 0) {
        return std::nullopt;
    }
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide->data(), units, utf8.data(), length,
                        nullptr, nullptr);
    return utf8;
}

}  // namespace kel::platform
