#include "KELResMgr/net/HttpRequest.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/wininet/ClientAccess.h"
#include "KELResMgr/net/wininet/InternetHandle.h"

namespace kel::net {

// The client keeps the open connections to the server under this handle, for every request made
// on it, from any thread.
struct HttpConnection::Connections {
    InternetHandle connection;
};

struct HttpRequest::Transfer {
    InternetHandle request;
    unsigned long long received = 0;  // body bytes read so far
    // The body's length as the answer announced it; none: the end of the connection ends it.
    std::optional<unsigned long long> announced;
};

namespace {

// One InternetReadFile asks for at most this much.
constexpr std::size_t kLargestRead = 1 << 20;

std::optional<unsigned long long> AnnouncedLength(HINTERNET request) {
    char text[32] = "";
    DWORD size = sizeof text;
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long long announced = std::strtoull(text, &end, 10);
    if (end == text) {
        return std::nullopt;
    }
    return announced;
}

}  // namespace

void HttpConnection::ConnectionsDelete::operator()(Connections* connections) const noexcept {
    std::default_delete<Connections>()(connections);
}

// Makes no network traffic: the client connects at the first request.
std::unique_ptr<HttpConnection::Connections, HttpConnection::ConnectionsDelete>
HttpConnection::OpenConnections() const {
    std::unique_ptr<Connections, ConnectionsDelete> connections(
        std::make_unique<Connections>().release());
    connections->connection.reset(InternetConnectA(ClientAccess::Session(session_), host_.c_str(),
                                                   static_cast<INTERNET_PORT>(port_), nullptr,
                                                   nullptr, INTERNET_SERVICE_HTTP, 0, 1));
    if (!connections->connection) {
        ThrowLastError("cannot connect to " + host_);
    }
    InheritTimeouts(session_, connections->connection.get());
    return connections;
}

HINTERNET ClientAccess::Connection(const HttpConnection& connection) {
    return connection.connections_->connection.get();
}

void HttpRequest::TransferDelete::operator()(Transfer* transfer) const noexcept {
    std::default_delete<Transfer>()(transfer);
}

std::unique_ptr<HttpRequest::Transfer, HttpRequest::TransferDelete> HttpRequest::OpenTransfer(
    unsigned flags) {
    // Every answer comes from the server: none is taken from the client's cache, and no package
    // is copied into it.
    DWORD open_flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
    if ((flags & kNoAutoRedirect) != 0) {
        open_flags |= INTERNET_FLAG_NO_AUTO_REDIRECT;
    }
    if ((flags & kExistingConnect) != 0) {
        open_flags |= INTERNET_FLAG_EXISTING_CONNECT;
    }
    std::unique_ptr<Transfer, TransferDelete> transfer(std::make_unique<Transfer>().release());
    transfer->request.reset(HttpOpenRequestA(ClientAccess::Connection(connection_), "GET",
                                             target_.c_str(), "HTTP/1.0", nullptr, nullptr,
                                             open_flags, 1));
    if (!transfer->request) {
        ThrowLastError("cannot get " + url_);
    }
    InheritTimeouts(connection_.session(), transfer->request.get());
    return transfer;
}

// The client gives up on a connect, a send or a receive that takes longer than the session's
// limits, but not on a server that keeps it busy with next to nothing (interim answers, a body a
// byte at a time): the layer's own pace rules catch those, between the client's calls.
void HttpRequest::Send() {
    const auto start = Clock::now();
    // The client does not say when it has connected: the answer's window starts at the latest
    // moment the connects may have ended.
    const InternetSession& session = connection_.session();
    pace_.Connected(start +
                    session.connect_timeout() * (1 + std::max(0, session.connect_retries())));
    if (!HttpSendRequestA(transfer_->request.get(), nullptr, 0, nullptr, 0)) {
        ThrowLastError("cannot get " + url_);
    }
    const auto now = Clock::now();
    pace_.Received(0, false, now);
    RequirePace(now);
    pace_.HeadersDone(now);
    transfer_->announced = AnnouncedLength(transfer_->request.get());
}

std::optional<long> HttpRequest::StatusCode() const {
    DWORD code = 0;
    DWORD size = sizeof code;
    if (!HttpQueryInfoA(transfer_->request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                        &code, &size, nullptr) ||
        code == 0) {
        return std::nullopt;
    }
    return static_cast<long>(code);
}

// Reads what has arrived, one piece at a time, so that the pace can be checked between the
// pieces: a read of the whole buffer would wait inside the client for as long as the server
// drips.
//
// The body ends at the length the answer announced. The client hands on whatever has arrived,
// also bytes that a server sent past that length: those that come with the body's last piece are
// read here, so that they do not stay on a kept connection for the client's next request, and
// dropped; and the body ends without waiting for more.
std::size_t HttpRequest::Read(void* buffer, std::size_t size) {
    HINTERNET request = transfer_->request.get();
    char* out = static_cast<char*>(buffer);
    std::size_t filled = 0;
    pace_.Resume(Clock::now());  // the caller's own time does not count against the server
    const auto& announced = transfer_->announced;
    while (filled < size && (!announced || transfer_->received < *announced)) {
        DWORD available = 0;  // waits for the next bytes, or the end of the body
        if (!InternetQueryDataAvailable(request, &available, 0, 0)) {
            ThrowLastError("cannot get " + url_);
        }
        DWORD got = 0;
        if (available > 0) {
            const auto wanted = static_cast<DWORD>(
                std::min({size - filled, static_cast<std::size_t>(available), kLargestRead}));
            if (!InternetReadFile(request, out + filled, wanted, &got)) {
                ThrowLastError("cannot get " + url_);
            }
        }
        if (got == 0) {
            // The client reports the end of the data also when the server closed the connection
            // before the length it announced: that body is cut, and a cut body must not pass for
            // a whole one.
            if (announced && transfer_->received < *announced) {
                Fail(InternetError::kConnectionAborted,
                     "the connection closed after " + std::to_string(transfer_->received) + " of " +
                         std::to_string(*announced) + " bytes");
            }
            break;
        }
        if (announced) {
            got = static_cast<DWORD>(
                std::min<unsigned long long>(got, *announced - transfer_->received));
        }
        filled += got;
        transfer_->received += got;
        const auto now = Clock::now();
        pace_.Received(got, true, now);
        RequirePace(now);
    }
    return filled;
}

}  // namespace kel::net
