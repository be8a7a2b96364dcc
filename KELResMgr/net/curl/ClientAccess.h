// How libcurl's side of the layer reaches its own state inside the layer's sessions and
// connections, whose headers keep it private.
#pragma once

#include <curl/curl.h>

#include "KELResMgr/net/HttpRequest.h"

namespace kel::net {

struct ClientAccess {
    // The session's share handle: the cache of name look-ups that its transfers share.
    static CURLSH* Share(const InternetSession& session);
    // The idle connection caches kept for the requests to the connection's server.
    static HttpConnection::Connections& KeptConnections(const HttpConnection& connection);
};

}  // namespace kel::net
