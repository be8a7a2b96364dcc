#include "KELResMgr/net/wininet/InternetHandle.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/InternetLibrary.h"

namespace kel::net {
namespace {

// The thread that unloads the library, 0 while none does. Trivially destructible.
std::atomic<DWORD> g_unloading_thread{0};

// The server's answers are read into this much first, as the client's own callers do.
constexpr DWORD kResponseBuffer = 1024;

std::string WithoutLineEnds(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

// Nothing to set up: the system client is the system's.
void PrepareInternetLibrary() {}
void ReleaseInternetLibrary() {}

UnloadScope::UnloadScope() {
    g_unloading_thread.store(GetCurrentThreadId());
}

UnloadScope::~UnloadScope() {
    g_unloading_thread.store(0);
}

void InternetHandleClose::operator()(HINTERNET handle) const noexcept {
    if (handle == nullptr || g_unloading_thread.load() == GetCurrentThreadId()) {
        return;
    }
    InternetCloseHandle(handle);
}

std::string LastResponse() {
    std::vector<char> buffer(kResponseBuffer);
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD error = 0;
        DWORD length = static_cast<DWORD>(buffer.size());
        if (InternetGetLastResponseInfoA(&error, buffer.data(), &length)) {
            const std::size_t size =
                strnlen(buffer.data(), std::min<std::size_t>(length, buffer.size()));
            return WithoutLineEnds(
                std::string(buffer.data(), std::min(size, InternetError::kMaxMessage)));
        }
        // A longer answer than the first buffer takes: once more with room for all of it.
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || length <= buffer.size()) {
            break;
        }
        buffer.resize(length + 1);
    }
    return {};
}

std::string InternetErrorText(DWORD code) {
    if (code == ERROR_INTERNET_EXTENDED_ERROR) {
        if (std::string response = LastResponse(); !response.empty()) {
            return response;
        }
    }
    char text[InternetError::kMaxMessage + 1] = "";
    HMODULE client = nullptr;
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if (code >= INTERNET_ERROR_BASE && code <= INTERNET_ERROR_LAST) {
        client = GetModuleHandleA("wininet.dll");  // the client's own texts
        flags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS;
    }
    if (FormatMessageA(flags, client, code, 0, text, sizeof text, nullptr) == 0 ||
        WithoutLineEnds(text).empty()) {
        return "internet error " + std::to_string(code);
    }
    return WithoutLineEnds(text);
}

void ThrowLastError(const std::string& what) {
    const DWORD code = GetLastError();
    throw InternetError(static_cast<int>(code), what + ": " + InternetErrorText(code));
}

}  // namespace kel::net
