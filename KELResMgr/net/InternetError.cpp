#include "KELResMgr/net/InternetError.h"

#include <curl/curl.h>

namespace kel::net {

InternetError::InternetError(int code, const std::string& message)
    : std::runtime_error(message.substr(0, kMaxMessage)), code_(code) {}

std::string CurlErrorText(int code, const char* error_buffer) {
    if (error_buffer != nullptr && error_buffer[0] != '\0') {
        return error_buffer;
    }
    return curl_easy_strerror(static_cast<CURLcode>(code));
}

}  // namespace kel::net
