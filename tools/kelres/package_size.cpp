#include "tools/kelres/package_size.h"

#include <memory>

#include "tools/kelres/res_id.h"

namespace kel::tool {

PackageSizes::PackageSizes(std::string media_server) : media_server_(std::move(media_server)) {
    if (!media_server_.empty()) {
        StartHeadRequests();
        thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
    }
}

PackageSizes::~PackageSizes() {
    if (thread_.joinable()) {
        thread_.request_stop();
        wake_.notify_all();
        thread_.join();
        EndHeadRequests();
    }
}

void PackageSizes::Ask(const std::string& text) {
    if (media_server_.empty()) {
        return;
    }
    {
        MutexLock lock(mutex_);
        if (!sizes_.emplace(text, std::nullopt).second) {
            return;
        }
        queue_.push_back(text);
    }
    wake_.notify_all();
}

std::optional<std::uint64_t> PackageSizes::Size(const std::string& text) const {
    MutexLock lock(mutex_);
    const auto it = sizes_.find(text);
    return it == sizes_.end() ? std::nullopt : it->second;
}

void PackageSizes::Run(std::stop_token stop) {
    for (;;) {
        std::string text;
        {
            MutexLock lock(mutex_);
            // The condition runs with the lock held (the wait takes it back first).
            if (!wake_.wait(lock, stop,
                            [this]() KEL_REQUIRES(mutex_) { return !queue_.empty(); })) {
                return;  // stop requested
            }
            text = std::move(queue_.front());
            queue_.pop_front();
        }
        const auto size = HeadContentLength(media_server_ + "/" + PackageServerPath(text), stop);
        MutexLock lock(mutex_);
        sizes_[text] = size;
    }
}

}  // namespace kel::tool
