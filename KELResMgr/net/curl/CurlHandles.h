// One owner for every libcurl handle.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

#include "KELResMgr/net/InternetError.h"

namespace kel::net {

class InternetSession;

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

// The internet error code for a libcurl result (CURLcode): the system client's number for the
// same failure (InternetError's codes), so that traces and callers read the same on every
// platform. A code without a counterpart gives ERROR_INTERNET_INTERNAL_ERROR (12004).
int InternetCode(int curl_code);
// The InternetError for a libcurl result.
InternetError CurlError(int curl_code, const std::string& message);

// Gives one of the layer's transfers the session's caches and its connect time-out. libcurl's
// own low-speed limit is left to the caller, which may pause transfers.
void ConfigureTransfer(const InternetSession& session, CURL* easy);

// A new easy handle; throws InternetError when libcurl has no memory for one.
CurlEasy NewEasy();
// Appends text to list (which may be empty); throws InternetError on failure.
void Append(CurlSlist& list, const char* text);

}  // namespace kel::net
