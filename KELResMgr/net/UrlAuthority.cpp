#include "KELResMgr/net/UrlAuthority.h"

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

}  // namespace kel::net
