#include "tools/kelres/package_size.h"

#include <curl/curl.h>

#include <memory>

#include "tools/kelres/res_id.h"

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

PackageSizes::PackageSizes(std::string media_server) : media_server_(std::move(media_server)) {
    if (!media_server_.empty()) {
        // Counted: the library's own set-up and clean-up of libcurl are not disturbed.
        curl_global_init(CURL_GLOBAL_DEFAULT);
        thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
    }
}

PackageSizes::~PackageSizes() {
    if (thread_.joinable()) {
        thread_.request_stop();
        wake_.notify_all();
        thread_.join();
        curl_global_cleanup();
    }
}

void PackageSizes::Ask(const std::string& text) {
    if (media_server_.empty()) {
        return;
    }
    {
        std::scoped_lock lock(mutex_);
        if (!sizes_.emplace(text, std::nullopt).second) {
            return;
        }
        queue_.push_back(text);
    }
    wake_.notify_all();
}

std::optional<std::uint64_t> PackageSizes::Size(const std::string& text) const {
    std::scoped_lock lock(mutex_);
    const auto it = sizes_.find(text);
    return it == sizes_.end() ? std::nullopt : it->second;
}

void PackageSizes::Run(std::stop_token stop) {
    for (;;) {
        std::string text;
        {
            std::unique_lock lock(mutex_);
            if (!wake_.wait(lock, stop, [this] { return !queue_.empty(); })) {
                return;  // stop requested
            }
            text = std::move(queue_.front());
            queue_.pop_front();
        }
        const auto size = HeadContentLength(media_server_ + "/" + PackageServerPath(text), stop);
        std::scoped_lock lock(mutex_);
        sizes_[text] = size;
    }
}

}  // namespace kel::tool
