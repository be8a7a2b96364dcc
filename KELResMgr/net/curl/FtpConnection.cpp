#include "KELResMgr/net/FtpConnection.h"

#include <curl/curl.h>

#include <cctype>
#include <cerrno>
#include <exception>
#include <utility>

#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/UrlAuthority.h"
#include "KELResMgr/net/curl/CurlHandles.h"
#include "platform/file.h"

namespace kel::net {

struct FtpConnection::Control {
    CurlEasy easy;
    char error[CURL_ERROR_SIZE] = {};
};

namespace {

// Blocks in which the local file is handed to libcurl.
constexpr long kUploadBlock = 256 * 1024;

long Seconds(Milliseconds time) {
    return static_cast<long>(std::max<long long>(1, (time.count() + 999) / 1000));
}

// The local file of a store, and what went wrong reading it.
struct StoreSource {
    platform::File& file;
    std::exception_ptr error;  // a failure other than the file's own
};

std::size_t ReadLocalFile(char* buffer, std::size_t size, std::size_t count,
                          void* source) noexcept {
    auto& store = *static_cast<StoreSource*>(source);
    try {
        return store.file.Read(buffer, size * count);
    } catch (const platform::FileError&) {
        return CURL_READFUNC_ABORT;  // an unreadable file fails the store
    } catch (...) {
        store.error = std::current_exception();
        return CURL_READFUNC_ABORT;
    }
}

// A negative completion reply (4xx, 5xx): the server refused what was asked.
bool IsRefusal(const std::string& response) {
    return response.size() >= 3 && (response[0] == '4' || response[0] == '5') &&
           std::isdigit(static_cast<unsigned char>(response[1])) &&
           std::isdigit(static_cast<unsigned char>(response[2]));
}

}  // namespace

FtpConnection::FtpConnection(const InternetSession& session, std::string host, long port)
    : session_(session),
      host_(std::move(host)),
      port_(port),
      control_(std::make_unique<Control>()) {
    control_->easy = NewEasy();
    if (port < 0 || port > 65535) {
        throw CurlError(CURLE_URL_MALFORMAT, "cannot connect to " + host_ + ": port " +
                                                 std::to_string(port) + " is not valid");
    }
    Prepare("");
    curl_easy_setopt(control_->easy.get(), CURLOPT_NOBODY, 1L);
    const auto result = static_cast<CURLcode>(Perform());
    if (result != CURLE_OK) {
        throw CurlError(
            result, "cannot log in to " + host_ + ":" + std::to_string(port_) + ": " + last_error_);
    }
}

bool FtpConnection::CanEnter(const std::string& folder) {
    Prepare(folder + "/");
    curl_easy_setopt(control_->easy.get(), CURLOPT_NOBODY, 1L);
    return Perform() == CURLE_OK;
}

bool FtpConnection::MakeFolders(const std::string& path) {
    Prepare(path + "/");
    curl_easy_setopt(control_->easy.get(), CURLOPT_NOBODY, 1L);
    // For each level: CWD; when that fails MKD, then CWD again.
    curl_easy_setopt(control_->easy.get(), CURLOPT_FTP_CREATE_MISSING_DIRS,
                     static_cast<long>(CURLFTP_CREATE_DIR_RETRY));
    return Perform() == CURLE_OK;
}

FtpConnection::PutResult FtpConnection::PutFile(const std::string& local_path,
                                                const std::string& remote_path) {
    platform::File file;
    try {
        file = platform::File::Open(local_path, platform::File::Mode::kRead);
    } catch (const platform::FileError& error) {
        last_error_ = error.what();
        return error.error_number() == ENOENT ? PutResult::kNoSourceFile : PutResult::kFailed;
    }
    CURL* easy = control_->easy.get();
    Prepare(remote_path);
    // The whole remote path goes with the store command, relative to the login folder.
    curl_easy_setopt(easy, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy, CURLOPT_TRANSFERTEXT, 0L);  // binary
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBlock);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &ReadLocalFile);
    StoreSource source{file, nullptr};
    curl_easy_setopt(easy, CURLOPT_READDATA, &source);
    try {
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(file.Size()));
    } catch (const platform::FileError&) {
        // The size only helps libcurl; the store works without it.
    }
    const auto result = static_cast<CURLcode>(Perform());
    if (source.error) {
        std::rethrow_exception(source.error);
    }
    if (result == CURLE_OK) {
        return PutResult::kStored;
    }
    return IsRefusal(last_response_) ? PutResult::kRefused : PutResult::kFailed;
}

void FtpConnection::Prepare(const std::string& path) {
    CURL* easy = control_->easy.get();
    curl_easy_reset(easy);  // keeps the open connection
    ConfigureTransfer(session_, easy);
    const std::string url = Url(path);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());  // copied by libcurl
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(easy, CURLOPT_FTPPORT, "-");  // active mode
    curl_easy_setopt(easy, CURLOPT_FTP_USE_EPRT, 1L);
    const Milliseconds stall = session_.stall_timeout();
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, Seconds(stall));
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, Seconds(stall));
    curl_easy_setopt(easy, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(stall.count()));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, control_->error);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &FtpConnection::OnResponse);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
}

FtpConnection::~FtpConnection() = default;

int FtpConnection::Perform() {
    control_->error[0] = '\0';
    last_error_.clear();
    const CURLcode result = curl_easy_perform(control_->easy.get());
    if (callback_error_) {
        std::rethrow_exception(std::exchange(callback_error_, nullptr));
    }
    if (result != CURLE_OK) {
        last_error_ = CurlErrorText(result, control_->error);
    }
    return result;
}

std::string FtpConnection::Url(const std::string& path) const {
    std::string url = "ftp://" + UrlAuthority(host_, port_) + "/";
    // Each name is escaped whole, so that the server sees it byte for byte.
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string name = path.substr(start, slash - start);
        if (!name.empty()) {
            // Freed also when the append below throws.
            const CurlText escaped(
                curl_easy_escape(control_->easy.get(), name.data(), static_cast<int>(name.size())));
            if (!escaped) {
                throw CurlError(CURLE_OUT_OF_MEMORY, "cannot build a path: out of memory");
            }
            url += escaped.get();
        }
        if (slash < path.size()) {
            url += "/";
        }
        start = slash + 1;
    }
    return url;
}

std::size_t FtpConnection::OnResponse(char* data, std::size_t size, std::size_t count,
                                      void* self) noexcept {
    auto& connection = *static_cast<FtpConnection*>(self);
    try {
        connection.KeepResponse(std::string_view(data, size * count));
        return size * count;
    } catch (...) {
        connection.callback_error_ = std::current_exception();
        return 0;  // any count but the one given aborts the transfer
    }
}

void FtpConnection::KeepResponse(std::string_view data) {
    std::string_view line = data;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    // Only the first kMaxMessage characters are kept: a server that sends continuation lines
    // without end does not grow the answer without end.
    if (response_lines_.size() < InternetError::kMaxMessage) {
        if (!response_lines_.empty()) {
            response_lines_ += ' ';
        }
        response_lines_ += line.substr(0, InternetError::kMaxMessage);
    }
    // "123 text" ends an answer; "123-text" and other lines continue it.
    const bool last_line =
        line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) && line[3] == ' ';
    if (last_line || line.size() == 3) {
        last_response_ = response_lines_.substr(0, InternetError::kMaxMessage);
        response_lines_.clear();
    }
}

}  // namespace kel::net
