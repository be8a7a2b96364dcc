#include "tools/kelres/progress_monitor.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

namespace kel::tool {
namespace {

constexpr auto kInterval = std::chrono::milliseconds(250);

}  // namespace

// True while one of the resource's staging folders ("T_files_tmp-" and a random suffix, one per
// extraction) is there.
bool BeingUnpacked(const std::string& resources, const std::string& text) {
    const std::string staging = text + "_files_tmp-";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(resources, ec)) {
        if (entry.path().filename().string().rfind(staging, 0) == 0) {
            return true;
        }
    }
    return false;
}

std::optional<std::uint64_t> PackageBytesSoFar(const std::string& resources,
                                               const std::string& text) {
    std::error_code ec;
    const std::string package = text + ".tsl";
    const auto whole = std::filesystem::file_size(resources + package, ec);
    if (!ec) {
        return whole;
    }
    const std::string part = package + ".part-";
    for (const auto& entry : std::filesystem::directory_iterator(resources, ec)) {
        if (entry.path().filename().string().rfind(part, 0) == 0) {
            const auto bytes = entry.file_size(ec);
            if (!ec) {
                return bytes;
            }
        }
    }
    return std::nullopt;
}

std::string FormatBytes(double bytes) {
    static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(kUnits)) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
    }
    return text;
}

std::string FormatBytesOf(double bytes, double total) {
    const std::string whole = FormatBytes(total);
    const std::size_t space = whole.find(' ');
    const std::string unit = whole.substr(space + 1);
    double scale = 1;
    for (const char* name : {"KiB", "MiB", "GiB", "TiB"}) {
        scale *= 1024;
        if (unit == name) {
            break;
        }
    }
    char text[48];
    if (unit == "B") {
        std::snprintf(text, sizeof text, "%.0f/%s", bytes, whole.c_str());
    } else {
        std::snprintf(text, sizeof text, "%.1f/%s", bytes / scale, whole.c_str());
    }
    return text;
}

std::string FormatDuration(double seconds) {
    const auto whole = static_cast<long long>(std::ceil(std::max(seconds, 0.0)));
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

ProgressMonitor::ProgressMonitor(Console& console, std::string resources, std::size_t total,
                                 const std::string& media_server)
    : console_(console), resources_(std::move(resources)), total_(total) {
    if (console_.terminal()) {
        // Only on a terminal: in a pipe the server sees exactly the library's requests.
        sizes_ = std::make_unique<PackageSizes>(media_server);
        thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
    }
}

ProgressMonitor::~ProgressMonitor() {
    Stop();
}

void ProgressMonitor::Stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        wake_.notify_all();
        thread_.join();
        console_.ClearProgress();
    }
}

void ProgressMonitor::Watch(const std::string& text) {
    if (!sizes_) {
        return;
    }
    struct stat info {};
    const bool present = ::stat((resources_ + text + "_files").c_str(), &info) == 0;
    {
        MutexLock lock(mutex_);
        if (std::find(watched_.begin(), watched_.end(), text) != watched_.end()) {
            return;
        }
        watched_.push_back(text);
        if (present) {
            present_.push_back(text);  // answered from disk: nothing to fetch, nothing to count
            return;
        }
    }
    sizes_->Ask(text);
}

void ProgressMonitor::Finish(const std::string& text, bool ready) {
    if (!sizes_) {
        return;
    }
    std::optional<std::uint64_t> size = sizes_->Size(text);
    struct stat info {};
    if (!size && ::stat((resources_ + text + ".tsl").c_str(), &info) == 0) {
        // The library notifies before it removes the package file: usually its whole size.
        size = static_cast<std::uint64_t>(info.st_size);
    }
    MutexLock lock(mutex_);
    const auto it = std::find(watched_.begin(), watched_.end(), text);
    if (it == watched_.end()) {
        return;
    }
    watched_.erase(it);
    ++finished_;
    if (ready && std::find(present_.begin(), present_.end(), text) == present_.end()) {
        // Without a size the package is gone before this point is reached: what was seen of it is
        // a lower bound.
        bytes_done_ += size ? *size : bytes_seen_[text];
        bytes_done_is_lower_bound_ = bytes_done_is_lower_bound_ || !size;
    }
}

void ProgressMonitor::Summarize(std::size_t ready) {
    if (!sizes_ || total_ <= 1) {
        return;
    }
    Stop();  // the summary is the last line: no progress line after it
    const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    std::uint64_t bytes = 0;
    bool lower_bound = false;
    {
        MutexLock lock(mutex_);
        bytes = bytes_done_;
        lower_bound = bytes_done_is_lower_bound_;
    }
    console_.Print(std::to_string(ready) + " of " + std::to_string(total_) + " resources ready, " +
                   (lower_bound ? "at least " : "") + FormatBytes(static_cast<double>(bytes)) +
                   " in " + FormatDuration(seconds));
}

std::string ProgressMonitor::Describe(const std::string& text, Sample& sample,
                                      Clock::time_point now) const {
    const std::optional<std::uint64_t> so_far = PackageBytesSoFar(resources_, text);
    if (BeingUnpacked(resources_, text)) {
        if (so_far) {
            sample.bytes = *so_far;  // the whole package now
        }
        return text + " unpacking";
    }
    if (!so_far) {
        return text + " waiting for the server";
    }
    const std::uint64_t bytes = *so_far;
    const double seconds = std::chrono::duration<double>(now - sample.taken).count();
    if (sample.taken != Clock::time_point() && bytes >= sample.bytes && seconds > 0) {
        // Smoothed over about a second, so that one slow interval does not make the rate jump.
        const double rate = static_cast<double>(bytes - sample.bytes) / seconds;
        sample.rate = sample.rate < 0 ? rate : 0.7 * sample.rate + 0.3 * rate;
    }
    sample.bytes = bytes;
    sample.taken = now;
    const std::optional<std::uint64_t> size = sizes_->Size(text);
    if (!size || *size == 0 || bytes > *size) {
        // No size, or not the package the server described: what is known for sure.
        std::string line = text + " " + FormatBytes(static_cast<double>(bytes));
        if (sample.rate >= 0) {
            line += " " + FormatBytes(sample.rate) + "/s";
        }
        return line;
    }
    const auto percent = static_cast<unsigned>(100 * bytes / *size);
    std::string line = text + " " +
                       FormatBytesOf(static_cast<double>(bytes), static_cast<double>(*size)) + " " +
                       std::to_string(percent) + "%";
    if (sample.rate >= 0) {
        line += " " + FormatBytes(sample.rate) + "/s";
    }
    if (sample.rate > 0) {
        line += " " + FormatDuration(static_cast<double>(*size - bytes) / sample.rate) + " left";
    }
    return line;
}

void ProgressMonitor::Run(std::stop_token stop) {
    std::map<std::string, Sample> samples;
    for (;;) {
        std::vector<std::string> watched;
        std::size_t finished = 0;
        {
            MutexLock lock(mutex_);
            wake_.wait_for(lock, stop, kInterval, [] { return false; });
            if (stop.stop_requested()) {
                return;
            }
            watched = watched_;
            finished = finished_;
        }
        std::erase_if(samples, [&](const auto& entry) {
            return std::find(watched.begin(), watched.end(), entry.first) == watched.end();
        });
        const Clock::time_point now = Clock::now();
        std::string line;
        if (total_ > 1) {
            line = "[" + std::to_string(finished) + "/" + std::to_string(total_) + "]";
        }
        for (const std::string& text : watched) {
            Sample& sample = samples[text];
            line += (line.empty() ? "" : "  ") + Describe(text, sample, now);
            MutexLock lock(mutex_);
            bytes_seen_[text] = std::max(bytes_seen_[text], sample.bytes);
        }
        // A line longer than the terminal would wrap, and the next redraw could not erase it.
        const auto width = static_cast<std::size_t>(std::max(console_.Columns() - 1, 1));
        if (line.size() > width) {
            line.resize(width);
        }
        if (!line.empty()) {
            console_.ShowProgress(line);
        }
    }
}

}  // namespace kel::tool
