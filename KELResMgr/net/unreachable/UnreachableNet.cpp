// The internet layer of a build that has no internet client yet: every server is unreachable.
// Sessions and connections are made as usual (they send nothing); every request and every FTP
// login fails as a connection to a server that does not answer fails, so each caller reports
// its own failed-connection result.
#include <string>

#include "KELResMgr/net/CurlLibrary.h"
#include "KELResMgr/net/FtpConnection.h"
#include "KELResMgr/net/HttpRequest.h"
#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/InternetSession.h"
#include "KELResMgr/net/UrlAuthority.h"

namespace kel::net {
namespace {

constexpr int kCannotConnect = 12029;  // the platform client's "cannot connect" error
constexpr int kBadPort = 12005;        // the platform client's "invalid URL" error

[[noreturn]] void Unreachable(const std::string& host) {
    throw InternetError(kCannotConnect, "cannot connect to " + host + ": no internet client");
}

void RequireValidPort(const std::string& host, long port) {
    if (port < 0 || port > 65535) {
        throw InternetError(kBadPort, "cannot connect to " + host + ": port " +
                                          std::to_string(port) + " is not valid");
    }
}

}  // namespace

// Nothing to set up or release.
void EnsureCurlInitialised() {}
void ReleaseCurl() {}

struct InternetSession::Caches {};

InternetSession::InternetSession()
    : connect_timeout_(EffectiveTimeout(kDefaultConnectTimeout)),
      stall_timeout_(EffectiveTimeout(kStallTimeout)) {}
InternetSession::~InternetSession() = default;
void InternetSession::Configure(void*) const {}

HttpConnection::HttpConnection(const InternetSession& session, std::string host, long port)
    : session_(session), host_(std::move(host)), port_(port) {
    RequireValidPort(host_, port);
    base_url_ = "http://" + UrlAuthority(host_, port_) + "/";
}
HttpConnection::~HttpConnection() = default;

struct HttpConnection::CachePool {};

struct HttpRequest::Transfer {};

HttpRequest::HttpRequest(const HttpConnection& connection, const std::string& object_name,
                         unsigned flags)
    : connection_(connection),
      url_(connection.base_url() + object_name),
      follow_((flags & kNoAutoRedirect) == 0),
      pace_(connection.session().stall_timeout(), kMinBytesPerStallWindow) {}
HttpRequest::~HttpRequest() = default;

void HttpRequest::Send() {
    Unreachable(connection_.host());
}

std::optional<long> HttpRequest::StatusCode() const {
    return std::nullopt;
}

std::size_t HttpRequest::Read(void*, std::size_t) {
    Unreachable(connection_.host());
}

struct FtpConnection::Control {};

FtpConnection::FtpConnection(const InternetSession& session, std::string host, long port)
    : session_(session), host_(std::move(host)), port_(port) {
    RequireValidPort(host_, port);
    Unreachable(host_);
}
FtpConnection::~FtpConnection() = default;

// Never reached: no connection is ever made.
bool FtpConnection::CanEnter(const std::string&) {
    return false;
}
bool FtpConnection::MakeFolders(const std::string&) {
    return false;
}
FtpConnection::PutResult FtpConnection::PutFile(const std::string&, const std::string&) {
    return PutResult::kFailed;
}

}  // namespace kel::net
