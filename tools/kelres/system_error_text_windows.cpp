#include <windows.h>

#include "tools/kelres/system_error_text.h"

namespace kel::tool {

std::string LastSystemErrorText() {
    const DWORD code = GetLastError();
    char text[512] = "";
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       text, sizeof text, nullptr) == 0) {
        return "system error " + std::to_string(code);
    }
    std::string message = text;
    // The system's text ends with a full stop and a line break; ours go on after it.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

}  // namespace kel::tool
