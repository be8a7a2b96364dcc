// The authority part of a URL ("host[:port]"), shared by the HTTP and FTP sides.
#pragma once

#include <string>

namespace kel::net {

// host as it stands in a URL, followed by ":port" unless port is 0 (the protocol's default). An
// IPv6 address (a host with a ':') goes in brackets; one that has them already is kept as given.
std::string UrlAuthority(const std::string& host, long port);

// Raises InternetError::kInvalidUrl unless port is 0 (the protocol's default) to 65535.
void RequireValidPort(const std::string& host, long port);

}  // namespace kel::net
