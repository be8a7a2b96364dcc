#include "KELResMgr/net/HttpRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/curl/ClientAccess.h"
#include "KELResMgr/net/curl/CurlHandles.h"
#include "platform/annotated_mutex.h"

namespace kel::net {
namespace {

// A wait inside the transfer loop is cut into pieces of at most this, so that a stall is noticed
// in time.
constexpr Milliseconds kLongestWait{1000};
// The body bytes that a request may hold beyond the caller's buffer: received ahead, they save a
// pause of the transfer at every read. Above this the transfer pauses.
constexpr std::size_t kSpillLimit = 256 * 1024;
// libcurl's receive block.
constexpr long kReceiveBlock = 100 * 1024;
// Redirects followed by requests that follow them.
constexpr long kMaxRedirects = 10;
// Idle connection caches a connection keeps, and open connections each cache keeps: enough for
// the downloads that run at once to find theirs again, few enough not to hold sockets for
// nothing.
constexpr std::size_t kIdleCaches = 8;
constexpr long kConnectionsPerCache = 1;

bool IsConnectFailure(CURLcode code) {
    return code == CURLE_COULDNT_CONNECT || code == CURLE_OPERATION_TIMEDOUT;
}

// True for a "Location:" header line with a value, whatever the case of the name.
bool IsLocationHeader(const char* data, std::size_t size) noexcept {
    constexpr char kName[] = "location:";
    constexpr std::size_t kLength = sizeof kName - 1;
    if (size <= kLength) {
        return false;
    }
    for (std::size_t i = 0; i < kLength; ++i) {
        if (std::tolower(static_cast<unsigned char>(data[i])) != kName[i]) {
            return false;
        }
    }
    for (std::size_t i = kLength; i < size; ++i) {
        if (!std::isspace(static_cast<unsigned char>(data[i]))) {
            return true;
        }
    }
    return false;
}

// True when bytes (or the end of the stream) wait unread on the socket of a cache's idle
// connection. An answer that ended exactly at its length leaves nothing behind it: anything
// there came past the end and would be read as the next request's answer.
bool HasUnreadInput(CURLM* cache, curl_socket_t socket) noexcept {
    curl_waitfd wait{socket, CURL_WAIT_POLLIN, 0};
    if (curl_multi_wait(cache, &wait, 1, 0, nullptr) != CURLM_OK) {
        return true;  // cannot tell: not clean
    }
    return (wait.revents & CURL_WAIT_POLLIN) != 0;
}

// A new connection cache; throws InternetError when libcurl has no memory for one.
CurlMulti NewCache() {
    CurlMulti cache(curl_multi_init());
    if (!cache) {
        throw CurlError(CURLE_OUT_OF_MEMORY, "cannot create a request: out of memory");
    }
    curl_multi_setopt(cache.get(), CURLMOPT_MAXCONNECTS, kConnectionsPerCache);
    return cache;
}

}  // namespace

// Idle connection caches, lent to one request at a time: libcurl does not let transfers that run
// at the same time share one cache, so two requests never use one cache, or one network
// connection, at once. A cache comes back only with the one connection its last answer ended on,
// and that connection is checked for unread bytes when it comes back and again before it is lent:
// bytes of one answer never reach another request.
struct HttpConnection::Connections {
    struct Idle {
        CurlMulti cache;
        curl_socket_t socket = CURL_SOCKET_BAD;  // its one open connection's
    };

    Connections() {
        MutexLock lock(mutex);  // not shared yet; the lock only satisfies the analysis
        idle.reserve(kIdleCaches);
    }

    // A connection cache for one request's use: an idle one from the pool whose connection is
    // still clean, else a new one. Throws InternetError when libcurl has no memory for one.
    CurlMulti Borrow() {
        for (;;) {
            Idle entry;
            {
                MutexLock lock(mutex);
                if (idle.empty()) {
                    break;
                }
                entry = std::move(idle.back());
                idle.pop_back();
            }
            if (!HasUnreadInput(entry.cache.get(), entry.socket)) {
                return std::move(entry.cache);
            }
            // else the cache closes, and its connection with it, as entry goes out of scope
        }
        return NewCache();
    }

    // Takes the cache back once its request is over. socket: the connection that the last
    // answer ended on and that libcurl kept, CURL_SOCKET_BAD when there is none or the answer
    // did not end cleanly. Such a cache, one with unread bytes, and any beyond the pool's size
    // are closed instead.
    void Return(CurlMulti cache, curl_socket_t socket) noexcept {
        if (!cache || socket == CURL_SOCKET_BAD || HasUnreadInput(cache.get(), socket)) {
            return;
        }
        MutexLock lock(mutex);
        if (idle.size() < kIdleCaches) {
            // within the capacity reserved: cannot throw
            idle.push_back(Idle{std::move(cache), socket});
        }
    }

    Mutex mutex;
    std::vector<Idle> idle KEL_GUARDED_BY(mutex);
};

void HttpConnection::ConnectionsDelete::operator()(Connections* connections) const noexcept {
    std::default_delete<Connections>()(connections);
}

std::unique_ptr<HttpConnection::Connections, HttpConnection::ConnectionsDelete>
HttpConnection::OpenConnections() const {
    return std::unique_ptr<Connections, ConnectionsDelete>(
        std::make_unique<Connections>().release());
}

HttpConnection::Connections& ClientAccess::KeptConnections(const HttpConnection& connection) {
    return *connection.connections_;
}

// One request's libcurl transfer: an easy handle driven through a borrowed connection cache, with
// libcurl's callbacks feeding the caller's buffer. The callbacks raise nothing: a failure inside
// is kept in callback_error, the transfer aborted, and the failure raised again once libcurl has
// returned.
struct HttpRequest::Transfer {
    Transfer(HttpRequest& owner, unsigned flags);
    // A transfer that ended unread still leaves a clean connection; the cache goes back.
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count,
                                void* self) noexcept;
    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self) noexcept;
    void RethrowCallbackError();

    void Start();
    // Starts the transfer, again after a connect that failed within the retries, and waits for
    // the final answer's headers or a redirect to follow.
    void SendOnce();
    void FollowRedirect();
    // Keeps body bytes that the caller's buffer could not take, for the next reads.
    void Spill(const char* data, std::size_t size);
    // Runs the transfer until done() holds or the transfer ends; throws when it failed first.
    void Drive(const std::function<bool()>& done);
    void CollectResult();
    bool Connected() const;
    [[noreturn]] void Fail(CURLcode code, const std::string& what) const {
        request.Fail(InternetCode(code), what);
    }

    HttpRequest& request;  // its URL, its pace
    const bool follow;     // redirects are followed
    CurlEasy easy;
    CurlMulti multi;  // borrowed from the connection, given back by the destructor
    CurlSlist headers;
    char error[CURL_ERROR_SIZE] = {};
    // The connection that the last answer ended on, when it ended cleanly and libcurl kept it.
    curl_socket_t kept_socket = CURL_SOCKET_BAD;
    bool attached = false;  // the transfer runs

    bool headers_done = false;
    bool finished = false;
    CURLcode result = CURLE_OK;  // the transfer's outcome, once finished
    bool paused = false;
    // The server has been reached: the final answer's window runs from the first connect, also
    // across redirects. A connect that failed is retried only while this is false.
    bool reached = false;
    bool location = false;  // the headers so far have a Location
    bool redirect = false;  // the answer is a redirect to follow: its body is not the caller's
    std::exception_ptr callback_error;

    // The caller's buffer during Read, and body bytes received ahead of it (from spill_read).
    char* destination = nullptr;
    std::size_t destination_size = 0;
    std::size_t destination_filled = 0;
    std::vector<char> spill;
    std::size_t spill_read = 0;
};

void HttpRequest::TransferDelete::operator()(Transfer* transfer) const noexcept {
    std::default_delete<Transfer>()(transfer);
}

std::unique_ptr<HttpRequest::Transfer, HttpRequest::TransferDelete> HttpRequest::OpenTransfer(
    unsigned flags) {
    return std::unique_ptr<Transfer, TransferDelete>(
        std::make_unique<Transfer>(*this, flags).release());
}

HttpRequest::Transfer::Transfer(HttpRequest& owner, unsigned flags)
    : request(owner),
      follow((flags & kNoAutoRedirect) == 0),
      easy(NewEasy()),
      multi(ClientAccess::KeptConnections(owner.connection_).Borrow()) {
    // No accept types: libcurl's default "Accept" header is taken out.
    Append(headers, "Accept:");

    CURL* handle = easy.get();
    ConfigureTransfer(request.connection_.session(), handle);
    curl_easy_setopt(handle, CURLOPT_URL, request.url_.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);  // the object name goes as given
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    // Redirects are followed here, not by libcurl, which would send the next request over the
    // same connection without a look at what waits unread on it (see FollowRedirect).
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_FRESH_CONNECT, (flags & kExistingConnect) ? 0L : 1L);
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBlock);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
}

HttpRequest::Transfer::~Transfer() {
    if (attached) {
        CollectResult();
        curl_multi_remove_handle(multi.get(), easy.get());
    }
    ClientAccess::KeptConnections(request.connection_).Return(std::move(multi), kept_socket);
}

void HttpRequest::Transfer::Start() {
    if (attached) {
        curl_multi_remove_handle(multi.get(), easy.get());
        attached = false;
    }
    error[0] = '\0';
    kept_socket = CURL_SOCKET_BAD;
    headers_done = finished = paused = redirect = location = false;
    result = CURLE_OK;
    const CURLMcode added = curl_multi_add_handle(multi.get(), easy.get());
    if (added != CURLM_OK) {
        Fail(CURLE_FAILED_INIT, curl_multi_strerror(added));
    }
    attached = true;
}

void HttpRequest::Send() {
    Transfer& transfer = *transfer_;
    transfer.SendOnce();
    for (long redirects = 0; transfer.redirect; ++redirects) {
        transfer.Drive([] { return false; });  // the redirect's own body, discarded, to its end
        if (redirects == kMaxRedirects) {
            transfer.Fail(CURLE_TOO_MANY_REDIRECTS,
                          "more than " + std::to_string(kMaxRedirects) + " redirects");
        }
        transfer.FollowRedirect();
    }
}

void HttpRequest::Transfer::SendOnce() {
    const int retries = request.connection_.session().connect_retries();
    for (int attempt = 0;; ++attempt) {
        Start();
        try {
            Drive([this] { return headers_done || redirect; });
            return;
        } catch (const InternetError&) {
            if (attempt >= retries || !IsConnectFailure(result) || Connected()) {
                throw;
            }
        }
    }
}

// The next request goes to where the redirect points, over the same connection only when the
// redirect's answer ended cleanly on it; else over a new connection cache.
void HttpRequest::Transfer::FollowRedirect() {
    char* next_location = nullptr;  // libcurl resolves it once the answer is over
    curl_easy_getinfo(easy.get(), CURLINFO_REDIRECT_URL, &next_location);
    if (next_location == nullptr) {
        Fail(CURLE_URL_MALFORMAT, "the redirect's location is not a valid URL");
    }
    const std::string next = next_location;  // libcurl's copy goes below
    curl_multi_remove_handle(multi.get(), easy.get());
    attached = false;
    if (kept_socket == CURL_SOCKET_BAD || HasUnreadInput(multi.get(), kept_socket)) {
        multi.reset();
        multi = NewCache();
    }
    curl_easy_setopt(easy.get(), CURLOPT_URL, next.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_FRESH_CONNECT, 0L);
    SendOnce();
}

std::optional<long> HttpRequest::StatusCode() const {
    long code = 0;
    if (curl_easy_getinfo(transfer_->easy.get(), CURLINFO_RESPONSE_CODE, &code) != CURLE_OK ||
        code <= 0) {
        return std::nullopt;
    }
    return code;
}

std::size_t HttpRequest::Read(void* buffer, std::size_t size) {
    Transfer& transfer = *transfer_;
    transfer.destination = static_cast<char*>(buffer);
    transfer.destination_size = size;
    transfer.destination_filled = 0;
    // First what the last buffer could not take.
    const std::size_t spilled = std::min(size, transfer.spill.size() - transfer.spill_read);
    if (spilled > 0) {
        std::memcpy(transfer.destination, transfer.spill.data() + transfer.spill_read, spilled);
    }
    transfer.spill_read += spilled;
    transfer.destination_filled = spilled;

    struct Forget {  // the buffer is the caller's only for this call
        Transfer* transfer;
        ~Forget() { transfer->destination = nullptr; }
    } forget{&transfer};
    const auto full = [&transfer] {
        return transfer.destination_filled == transfer.destination_size;
    };
    if (full()) {
        return transfer.destination_filled;
    }
    pace_.Resume(Clock::now());  // the caller's own time does not count against the server
    if (transfer.paused) {
        transfer.paused = false;
        curl_easy_pause(transfer.easy.get(), CURLPAUSE_CONT);  // may deliver the held block at once
        transfer.RethrowCallbackError();
    }
    transfer.Drive(full);
    return transfer.destination_filled;
}

void HttpRequest::Transfer::Drive(const std::function<bool()>& done) {
    while (!done()) {
        if (finished) {
            if (result != CURLE_OK) {
                Fail(result, CurlErrorText(result, error));
            }
            return;
        }
        int running = 0;
        const CURLMcode performed = curl_multi_perform(multi.get(), &running);
        RethrowCallbackError();
        if (performed != CURLM_OK) {
            Fail(CURLE_RECV_ERROR, curl_multi_strerror(performed));
        }
        CollectResult();
        if (done() || finished) {
            continue;
        }
        const auto now = Clock::now();
        // Connecting has its own limit; the server's clocks start once it is reached.
        if (!reached && Connected()) {
            reached = true;
            request.pace_.Connected(now);
        }
        request.RequirePace(now);
        const Milliseconds wait = request.pace_.NextCheckIn(kLongestWait, now);
        curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(wait.count()), nullptr);
    }
}

void HttpRequest::Transfer::RethrowCallbackError() {
    if (callback_error) {
        std::rethrow_exception(std::exchange(callback_error, nullptr));
    }
}

void HttpRequest::Transfer::CollectResult() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
        if (message->msg == CURLMSG_DONE) {
            finished = true;
            result = message->data.result;
            // Asked while the transfer is still attached: libcurl knows the socket only then,
            // and only when it keeps the connection.
            if (result == CURLE_OK) {
                curl_easy_getinfo(easy.get(), CURLINFO_ACTIVESOCKET, &kept_socket);
            }
        }
    }
    if (finished && result == CURLE_OK && !redirect) {
        headers_done = true;  // an answer without a header end still ends its headers
    }
}

bool HttpRequest::Transfer::Connected() const {
    curl_off_t connect_time = 0;
    return curl_easy_getinfo(easy.get(), CURLINFO_CONNECT_TIME_T, &connect_time) == CURLE_OK &&
           connect_time > 0;
}

// Nothing here can fail: no allocation, no call that raises.
std::size_t HttpRequest::Transfer::OnHeader(char* data, std::size_t size, std::size_t count,
                                            void* self) noexcept {
    auto& transfer = *static_cast<Transfer*>(self);
    TransferPace& pace = transfer.request.pace_;
    const std::size_t bytes = size * count;
    const auto now = Clock::now();
    pace.Received(bytes, false, now);
    const bool header_end = bytes <= 2 && (data[0] == '\r' || data[0] == '\n');
    if (!header_end) {
        transfer.location = transfer.location || IsLocationHeader(data, bytes);
        return bytes;
    }
    long code = 0;
    curl_easy_getinfo(transfer.easy.get(), CURLINFO_RESPONSE_CODE, &code);
    // An interim answer (1xx) is not the answer. Nor is a redirect to follow: another answer
    // comes after it.
    const bool interim = code >= 100 && code < 200 && code != 101;
    const bool location = std::exchange(transfer.location, false);
    if (interim) {
        return bytes;
    }
    if (transfer.follow && code >= 300 && code < 400 && location) {
        transfer.redirect = true;
        return bytes;
    }
    transfer.headers_done = true;
    pace.HeadersDone(now);
    return bytes;
}

std::size_t HttpRequest::Transfer::OnBody(char* data, std::size_t size, std::size_t count,
                                          void* self) noexcept {
    auto& transfer = *static_cast<Transfer*>(self);
    TransferPace& pace = transfer.request.pace_;
    const std::size_t bytes = size * count;
    const auto now = Clock::now();
    if (transfer.redirect) {
        pace.Received(bytes, false, now);  // a sign of life, not the body
        return bytes;
    }
    transfer.headers_done = true;  // body bytes come only with the final answer
    pace.HeadersDone(now);
    const std::size_t room = transfer.destination != nullptr
                                 ? transfer.destination_size - transfer.destination_filled
                                 : 0;
    const std::size_t fits = std::min(bytes, room);
    // With room in the caller's buffer the block is always taken (the rest of it is held), so a
    // read never waits on a paused transfer.
    if (room == 0 && transfer.spill.size() - transfer.spill_read + bytes > kSpillLimit) {
        transfer.paused = true;  // libcurl keeps the block and offers it again after resuming
        return CURL_WRITEFUNC_PAUSE;
    }
    try {
        transfer.Spill(data + fits, bytes - fits);  // first: it alone can fail
    } catch (...) {
        transfer.callback_error = std::current_exception();
        return CURL_WRITEFUNC_ERROR;
    }
    if (fits > 0) {
        std::memcpy(transfer.destination + transfer.destination_filled, data, fits);
        transfer.destination_filled += fits;
    }
    pace.Received(bytes, true, now);
    return bytes;
}

void HttpRequest::Transfer::Spill(const char* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    if (spill_read == spill.size()) {
        spill.clear();
        spill_read = 0;
    } else if (spill_read > spill.size() / 2) {
        spill.erase(spill.begin(), spill.begin() + static_cast<std::ptrdiff_t>(spill_read));
        spill_read = 0;
    }
    spill.insert(spill.end(), data, data + size);
}

}  // namespace kel::net
