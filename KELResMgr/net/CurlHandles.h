// One owner for every libcurl handle.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace kel::net {

struct CurlEasyCleanup {
    void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};
struct CurlMultiCleanup {
    void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};
struct CurlShareCleanup {
    void operator()(CURLSH* share) const noexcept { curl_share_cleanup(share); }
};
struct CurlSlistCleanup {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
struct CurlFree {
    void operator()(char* text) const noexcept { curl_free(text); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiCleanup>;
using CurlShare = std::unique_ptr<CURLSH, CurlShareCleanup>;
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistCleanup>;
using CurlText = std::unique_ptr<char, CurlFree>;  // text that libcurl allocated

// The text of a libcurl result: the transfer's own error text when it has one (error_buffer),
// else libcurl's text for the code.
std::string CurlErrorText(int code, const char* error_buffer);

// A new easy handle; throws InternetError when libcurl has no memory for one.
CurlEasy NewEasy();
// Appends text to list (which may be empty); throws InternetError on failure.
void Append(CurlSlist& list, const char* text);

}  // namespace kel::net
