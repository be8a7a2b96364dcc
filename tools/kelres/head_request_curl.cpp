// The media server's answer to a HEAD request, through libcurl.
#include <curl/curl.h>

#include <memory>

#include "tools/kelres/package_size.h"

namespace kel::tool {
namespace {

// Long enough for a busy server, short enough that a silent one does not leave the line without
// a total for the whole download.
constexpr long kConnectTimeoutSeconds = 5;
constexpr long kTimeoutSeconds = 10;

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

// Ends the transfer as soon as the tool wants to end; curl asks about once a second even when
// nothing arrives.
int AbortWhenStopped(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<std::stop_token*>(stop)->stop_requested() ? 1 : 0;
}

}  // namespace

void StartHeadRequests() {
    // Counted: the library's own set-up and clean-up of libcurl are not disturbed.
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

void EndHeadRequests() {
    curl_global_cleanup();
}

std::optional<std::uint64_t> HeadContentLength(const std::string& url, std::stop_token stop) {
    const std::unique_ptr<CURL, CurlCleanup> curl(curl_easy_init());
    if (!curl) {
        return std::nullopt;
    }
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);  // other threads run: no SIGALRM for DNS
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, AbortWhenStopped);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &stop);
    if (curl_easy_perform(handle) != CURLE_OK) {
        return std::nullopt;
    }
    long status = 0;
    curl_off_t length = -1;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    // The library takes only a 200 answer; any other says nothing about the package it will get.
    if (status != 200 || length < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(length);
}

}  // namespace kel::tool
