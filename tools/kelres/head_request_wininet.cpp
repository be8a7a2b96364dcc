// The media server's answer to a HEAD request, through WinInet, the client the library uses.
#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <memory>

#include "tools/kelres/package_size.h"

namespace kel::tool {
namespace {

// Short: a silent server leaves the line without a total, and a stop request (the tool ends)
// waits for the call under way, at most this long. Closing a handle from the stopping thread
// would end the call at once, but the handle's value could meanwhile name a handle of the
// library's own downloads, which the tool must never touch.
constexpr DWORD kConnectTimeoutMs = 3000;
constexpr DWORD kTimeoutMs = 3000;

struct HandleCloser {
    void operator()(void* handle) const { InternetCloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

}  // namespace

void StartHeadRequests() {}
void EndHeadRequests() {}

std::optional<std::uint64_t> HeadContentLength(const std::string& url, std::stop_token stop) {
    char host[256] = "";
    char path[2048] = "";
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    if (!InternetCrackUrlA(url.c_str(), 0, 0, &parts)) {
        return std::nullopt;
    }
    // Closed in reverse order: request, connection, session.
    const Handle session(InternetOpenA("", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) {
        return std::nullopt;
    }
    for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                               INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        DWORD value = option == INTERNET_OPTION_CONNECT_TIMEOUT ? kConnectTimeoutMs : kTimeoutMs;
        InternetSetOptionA(session.get(), option, &value, sizeof value);
    }
    const Handle connection(InternetConnectA(session.get(), host, parts.nPort, nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection || stop.stop_requested()) {
        return std::nullopt;
    }
    const Handle request(HttpOpenRequestA(
        connection.get(), "HEAD", path, nullptr, nullptr, nullptr,
        INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_UI, 0));
    if (!request || !HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0) ||
        stop.stop_requested()) {
        return std::nullopt;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    char length[32] = "";
    DWORD length_size = sizeof length;
    // The library takes only a 200 answer; any other says nothing about the package it will get.
    if (!HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &size, nullptr) ||
        status != 200 ||
        !HttpQueryInfoA(request.get(), HTTP_QUERY_CONTENT_LENGTH, length, &length_size, nullptr)) {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(length, &end, 10);
    if (end == length || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

}  // namespace kel::tool
