#include "platform/profile_reader.h"

#include <windows.h>

#include <vector>

// <windows.h> maps the name to GetPrivateProfileStringA; here it names this layer's function.
#undef GetPrivateProfileString

namespace kel::platform {

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_value, const std::string& path,
                                    std::size_t buffer_size, bool* skipped_long_line) {
    if (skipped_long_line != nullptr) {
        *skipped_long_line = false;  // the system's reader has its own limits and does not tell
    }
    if (buffer_size == 0) {
        return {};
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
