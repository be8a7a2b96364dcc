#include "KELResMgr/net/FtpConnection.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <exception>
#include <string_view>
#include <utility>

#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/UrlAuthority.h"
#include "KELResMgr/net/curl/CurlHandles.h"
#include "platform/file.h"

namespace kel::net {
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

// One easy handle keeps the control connection open between the operations: each operation is a
// transfer on it, reset to the options they share. The header callback collects the server's
// answers; it raises nothing: a failure is kept in callback_error, aborts the transfer and is
// raised again once libcurl has returned (Perform).
struct FtpConnection::Control {
    explicit Control(FtpConnection& owner) : connection(owner), easy(NewEasy()) {}

    static std::size_t OnResponse(char* data, std::size_t size, std::size_t count,
                                  void* self) noexcept;
    void KeepResponse(std::string_view data);

    // Resets the handle to the options every operation shares, for the given path.
    void Prepare(const std::string& path);
    CURLcode Perform();
    std::string Url(const std::string& path) const;

    FtpConnection& connection;  // its server, its session, its last answer and error
    CurlEasy easy;
    char error[CURL_ERROR_SIZE] = {};
    std::string response_lines;  // the answer being received
    std::exception_ptr callback_error;
};

void FtpConnection::ControlDelete::operator()(Control* control) const noexcept {
    std::default_delete<Control>()(control);
}

std::unique_ptr<FtpConnection::Control, FtpConnection::ControlDelete> FtpConnection::LogIn() {
    std::unique_ptr<Control, ControlDelete> control(std::make_unique<Control>(*this).release());
    control->Prepare("");
    curl_easy_setopt(control->easy.get(), CURLOPT_NOBODY, 1L);
    const CURLcode result = control->Perform();
    if (result != CURLE_OK) {
        throw CurlError(
            result, "cannot log in to " + host_ + ":" + std::to_string(port_) + ": " + last_error_);
    }
    return control;
}

bool FtpConnection::CanEnter(const std::string& folder) {
    control_->Prepare(folder + "/");
    curl_easy_setopt(control_->easy.get(), CURLOPT_NOBODY, 1L);
    return control_->Perform() == CURLE_OK;
}

bool FtpConnection::MakeFolders(const std::string& path) {
    control_->Prepare(path + "/");
    curl_easy_setopt(control_->easy.get(), CURLOPT_NOBODY, 1L);
    // For each level: CWD; when that fails MKD, then CWD again.
    curl_easy_setopt(control_->easy.get(), CURLOPT_FTP_CREATE_MISSING_DIRS,
                     static_cast<long>(CURLFTP_CREATE_DIR_RETRY));
    return control_->Perform() == CURLE_OK;
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
    control_->Prepare(remote_path);
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
    const CURLcode result = control_->Perform();
    if (source.error) {
        std::rethrow_exception(source.error);
    }
    if (result == CURLE_OK) {
        return PutResult::kStored;
    }
    return IsRefusal(last_response_) ? PutResult::kRefused : PutResult::kFailed;
}

void FtpConnection::Control::Prepare(const std::string& path) {
    CURL* handle = easy.get();
    curl_easy_reset(handle);  // keeps the open connection
    ConfigureTransfer(connection.session_, handle);
    const std::string url = Url(path);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());  // copied by libcurl
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(handle, CURLOPT_FTPPORT, "-");  // active mode
    curl_easy_setopt(handle, CURLOPT_FTP_USE_EPRT, 1L);
    const Milliseconds stall = connection.session_.stall_timeout();
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, Seconds(stall));
    curl_easy_setopt(handle, CURLOPT_SERVER_RESPONSE_TIMEOUT, Seconds(stall));
    curl_easy_setopt(handle, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(stall.count()));
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Control::OnResponse);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
}

CURLcode FtpConnection::Control::Perform() {
    error[0] = '\0';
    connection.last_error_.clear();
    const CURLcode result = curl_easy_perform(easy.get());
    if (callback_error) {
        std::rethrow_exception(std::exchange(callback_error, nullptr));
    }
    if (result != CURLE_OK) {
        connection.last_error_ = CurlErrorText(result, error);
    }
    return result;
}

std::string FtpConnection::Control::Url(const std::string& path) const {
    std::string url = "ftp://" + UrlAuthority(connection.host_, connection.port_) + "/";
    // Each name is escaped whole, so that the server sees it byte for byte.
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string name = path.substr(start, slash - start);
        if (!name.empty()) {
            // Freed also when the append below throws.
            const CurlText escaped(
                curl_easy_escape(easy.get(), name.data(), static_cast<int>(name.size())));
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

std::size_t FtpConnection::Control::OnResponse(char* data, std::size_t size, std::size_t count,
                                               void* self) noexcept {
    auto& control = *static_cast<Control*>(self);
    try {
        control.KeepResponse(std::string_view(data, size * count));
        return size * count;
    } catch (...) {
        control.callback_error = std::current_exception();
        return 0;  // any count but the one given aborts the transfer
    }
}

void FtpConnection::Control::KeepResponse(std::string_view data) {
    std::string_view line = data;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    // Only the first kMaxMessage characters are kept: a server that sends continuation lines
    // without end does not grow the answer without end.
    if (response_lines.size() < InternetError::kMaxMessage) {
        if (!response_lines.empty()) {
            response_lines += ' ';
        }
        response_lines += line.substr(0, InternetError::kMaxMessage);
    }
    // "123 text" ends an answer; "123-text" and other lines continue it.
    const bool last_line =
        line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) && line[3] == ' ';
    if (last_line || line.size() == 3) {
        connection.last_response_ = response_lines.substr(0, InternetError::kMaxMessage);
        response_lines.clear();
    }
}

}  // namespace kel::net
