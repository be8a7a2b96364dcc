// The half of the HTTP side that every client shares: the port check, the URLs, the pace rules and
// the failure text. The client's own half is in curl/ or wininet/.
#include "KELResMgr/net/HttpRequest.h"

#include <utility>

#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/RequestTarget.h"
#include "KELResMgr/net/UrlAuthority.h"

namespace kel::net {

HttpConnection::HttpConnection(const InternetSession& session, std::string host, long port)
    : session_(session), host_(std::move(host)), port_(port) {
    RequireValidPort(host_, port_);
    base_url_ = "http://" + UrlAuthority(host_, port_) + "/";
    connections_ = OpenConnections();
}

HttpConnection::~HttpConnection() = default;

HttpRequest::HttpRequest(const HttpConnection& connection, const std::string& object_name,
                         unsigned flags)
    : connection_(connection),
      target_(EncodeRequestTarget(object_name)),
      url_(connection.base_url() + target_),
      pace_(connection.session().stall_timeout(), kMinBytesPerStallWindow) {
    if (const auto total = connection.session().total_timeout()) {
        pace_.SetDeadline(Clock::now() + *total);
    }
    transfer_ = OpenTransfer(flags);
}

HttpRequest::~HttpRequest() = default;

void HttpRequest::Fail(int code, const std::string& what) const {
    throw InternetError(code, "cannot get " + url_ + ": " + what);
}

void HttpRequest::RequirePace(Clock::time_point now) {
    if (const auto why = pace_.Check(now)) {
        Fail(InternetError::kTimeout, *why);
    }
}

}  // namespace kel::net
