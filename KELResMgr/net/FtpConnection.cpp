// The half of the FTP side that every client shares. The client's own half is in curl/ or
// wininet/.
#include "KELResMgr/net/FtpConnection.h"

#include <utility>

#include "KELResMgr/net/UrlAuthority.h"

namespace kel::net {

FtpConnection::FtpConnection(const InternetSession& session, std::string host, long port)
    : session_(session), host_(std::move(host)), port_(port) {
    RequireValidPort(host_, port_);
    control_ = LogIn();
}

FtpConnection::~FtpConnection() = default;

}  // namespace kel::net
