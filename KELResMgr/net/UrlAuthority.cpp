#include "KELResMgr/net/UrlAuthority.h"

#include "KELResMgr/net/InternetError.h"

namespace kel::net {

std::string UrlAuthority(const std::string& host, long port) {
    const bool bare_ipv6 = host.find(':') != std::string::npos && host.front() != '[';
    std::string authority = bare_ipv6 ? "[" + host + "]" : host;
    if (port != 0) {
        authority += ':';
        authority += std::to_string(port);
    }
    return authority;
}

void RequireValidPort(const std::string& host, long port) {
    if (port < 0 || port > 65535) {
        throw InternetError(InternetError::kInvalidUrl, "cannot connect to " + host + ": port " +
                                                            std::to_string(port) + " is not valid");
    }
}

}  // namespace kel::net
