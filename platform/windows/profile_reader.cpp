#include "platform/profile_reader.h"

#include <windows.h>

#include <memory>
#include <type_traits>
#include <vector>

// <windows.h> maps the name to GetPrivateProfileStringA; here it names this layer's function.
#undef GetPrivateProfileString

namespace kel::platform {
namespace {

struct HandleClose {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleClose>;

// True when something is at path and it is no file of a disk: a folder, a pipe or a device.
// Such a path reads as a missing file, as on the other platforms, rather than be opened for reading
// by the system's reader, where reading a pipe waits for its other end. The handle asks for no
// access, so opening it neither waits nor reads from a device, and backup semantics let it open a
// folder. A path that cannot be opened so (a missing file, most often) is left to the system's
// reader.
bool IsOtherThanAFile(const std::string& path) {
    const HANDLE opened =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    const UniqueHandle handle(opened);
    if (GetFileType(handle.get()) != FILE_TYPE_DISK) {
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handle.get(), &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_value, const std::string& path,
                                    std::size_t buffer_size, bool* skipped_long_line) {
    if (skipped_long_line != nullptr) {
        *skipped_long_line = false;  // the system's reader has its own limits and does not tell
    }
    if (buffer_size == 0) {
        return {};
    }
    if (IsOtherThanAFile(path)) {
        return std::string(default_value.substr(0, buffer_size - 1));  // read as a missing file
    }
    const std::string section_text(section);
    const std::string key_text(key);
    const std::string default_text(default_value);
    std::vector<char> buffer(buffer_size, '\0');
    const DWORD length =
        GetPrivateProfileStringA(section_text.c_str(), key_text.c_str(), default_text.c_str(),
                                 buffer.data(), static_cast<DWORD>(buffer.size()), path.c_str());
    return std::string(buffer.data(), length);
}

}  // namespace kel::platform
