#include "KELResMgr/net/CurlHandles.h"

#include "KELResMgr/net/InternetError.h"

namespace kel::net {

CurlEasy NewEasy() {
    CurlEasy easy(curl_easy_init());
    if (!easy) {
        throw InternetError(CURLE_OUT_OF_MEMORY, "cannot create a transfer: out of memory");
    }
    return easy;
}

void Append(CurlSlist& list, const char* text) {
    curl_slist* longer = curl_slist_append(list.get(), text);
    if (longer == nullptr) {
        throw InternetError(CURLE_OUT_OF_MEMORY, "cannot build a header list: out of memory");
    }
    list.release();  // now part of longer
    list.reset(longer);
}

std::string CurlErrorText(int code, const char* error_buffer) {
    if (error_buffer != nullptr && error_buffer[0] != '\0') {
        return error_buffer;
    }
    return curl_easy_strerror(static_cast<CURLcode>(code));
}

}  // namespace kel::net
