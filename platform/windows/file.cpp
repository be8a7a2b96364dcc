#include "platform/file.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

namespace kel::platform {
namespace {

HANDLE Native(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::string ErrorText(int error_number) {
    char text[256] = "";
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error_number), 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error_number) : message;
}

// ReadFile and WriteFile take at most a DWORD of bytes at once.
DWORD Portion(std::size_t size) {
    return static_cast<DWORD>(std::min<std::size_t>(size, 0x40000000));
}

}  // namespace

FileError::FileError(const std::string& what_failed, const std::string& path, int error_number)
    : std::runtime_error("cannot " + what_failed + " " + path + ": " + ErrorText(error_number)),
      path_(path),
      error_number_(error_number) {}

File::~File() {
    if (handle_ != kNoHandle) {
        CloseHandle(Native(handle_));
    }
}

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)), path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (handle_ != kNoHandle) {
            CloseHandle(Native(handle_));
        }
        handle_ = std::exchange(other.handle_, kNoHandle);
        path_ = std::move(other.path_);
    }
    return *this;
}

File File::TryOpen(const std::string& path, Mode mode, int* error_number) noexcept {
    DWORD access = GENERIC_READ;
    DWORD share = FILE_SHARE_READ;
    DWORD disposition = OPEN_EXISTING;
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (mode == Mode::kCreateWrite) {
        access = GENERIC_WRITE;
        share = 0;
        disposition = CREATE_ALWAYS;
    } else if (mode == Mode::kCreateNew) {
        access = GENERIC_WRITE;
        share = 0;
        disposition = CREATE_NEW;
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;  // a link of that name is never followed
    } else if (mode == Mode::kWriteExisting) {
        access = GENERIC_WRITE;
        share = 0;
    }
    const HANDLE handle =
        CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (error_number != nullptr) {
            *error_number = static_cast<int>(GetLastError());
        }
        return File();
    }
    // A device name or a pipe opens too, and reading it may block or never end: only a file
    // on disk is read.
    if (mode == Mode::kRead && GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        if (error_number != nullptr) {
            *error_number = ERROR_INVALID_FUNCTION;
        }
        return File();
    }
    try {
        return File(reinterpret_cast<std::intptr_t>(handle), path);
    } catch (...) {  // the path's copy could not be made
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        if (error_number != nullptr) {
            *error_number = ERROR_NOT_ENOUGH_MEMORY;
        }
        return File();
    }
}

std::size_t File::Read(void* buffer, std::size_t size) {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!ReadFile(Native(handle_), out + done, Portion(size - done), &got, nullptr)) {
            throw FileError("read", path_, static_cast<int>(GetLastError()));
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

// The handle is synchronous, where a read at an offset moves the position: it is put back.
std::size_t File::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    LARGE_INTEGER zero{};
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(Native(handle_), zero, &position, FILE_CURRENT)) {
        throw FileError("seek in", path_, static_cast<int>(GetLastError()));
    }
    Seek(offset);
    const std::size_t got = Read(buffer, size);
    Seek(static_cast<std::uint64_t>(position.QuadPart));
    return got;
}

void File::Write(const void* buffer, std::size_t size) {
    const auto* in = static_cast<const char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        DWORD put = 0;
        if (!WriteFile(Native(handle_), in + done, Portion(size - done), &put, nullptr)) {
            throw FileError("write", path_, static_cast<int>(GetLastError()));
        }
        done += put;
    }
}

void File::Seek(std::uint64_t offset) {
    LARGE_INTEGER distance{};
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(Native(handle_), distance, nullptr, FILE_BEGIN)) {
        throw FileError("seek in", path_, static_cast<int>(GetLastError()));
    }
}

std::uint64_t File::Size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(Native(handle_), &size)) {
        throw FileError("read the size of", path_, static_cast<int>(GetLastError()));
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

void File::Flush() {
    if (!FlushFileBuffers(Native(handle_))) {
        throw FileError("write", path_, static_cast<int>(GetLastError()));
    }
}

void File::StartWriteback() noexcept {
    // Windows has no call that starts the writeback without waiting for it.
}

void File::Close() {
    if (handle_ == kNoHandle) {
        return;
    }
    if (!CloseHandle(Native(std::exchange(handle_, kNoHandle)))) {
        throw FileError("close", path_, static_cast<int>(GetLastError()));
    }
}

const int kDiskFullError = ERROR_DISK_FULL;
const int kFileExistsError = ERROR_FILE_EXISTS;

void File::SetModificationTime(std::int64_t seconds) {
    constexpr std::uint64_t kSecondsFrom1601To1970 = 11644473600ULL;
    constexpr std::uint64_t kTicksPerSecond = 10000000ULL;  // FILETIME counts 100 ns
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(seconds) + kSecondsFrom1601To1970) * kTicksPerSecond;
    FILETIME written;
    written.dwLowDateTime = static_cast<DWORD>(ticks);
    written.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    if (!SetFileTime(Native(handle_), nullptr, nullptr, &written)) {
        throw FileError("set the time of", path_, static_cast<int>(GetLastError()));
    }
}

bool File::RemoveWritePermission() noexcept {
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(Native(handle_), FileBasicInfo, &info, sizeof info)) {
        return false;
    }
    info.FileAttributes |= FILE_ATTRIBUTE_READONLY;
    return SetFileInformationByHandle(Native(handle_), FileBasicInfo, &info, sizeof info) != 0;
}

std::optional<std::uint64_t> AvailableSpace(const std::string& path) noexcept {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(path.c_str(), &available, nullptr, nullptr)) {
        return std::nullopt;
    }
    return available.QuadPart;
}

std::optional<std::uint64_t> AvailableInodes(const std::string&) noexcept {
    return std::nullopt;  // NTFS has no fixed number of file records
}

}  // namespace kel::platform
