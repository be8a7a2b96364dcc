#include "tools/kelres/progress_monitor.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

namespace kel::tool {
namespace {

constexpr auto kInterval = std::chrono::milliseconds(250);

}  // namespace

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

ProgressMonitor::ProgressMonitor(Console& console, std::string resources, std::size_t total)
    : console_(console), resources_(std::move(resources)), total_(total) {
    if (console_.terminal()) {
        thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
    }
}

ProgressMonitor::~ProgressMonitor() {
    if (thread_.joinable()) {
        thread_.request_stop();
        wake_.notify_all();
        thread_.join();
        console_.ClearProgress();
    }
}

void ProgressMonitor::Watch(const std::string& text) {
    std::scoped_lock lock(mutex_);
    if (std::find(watched_.begin(), watched_.end(), text) == watched_.end()) {
        watched_.push_back(text);
    }
}

void ProgressMonitor::Finish(const std::string& text) {
    std::scoped_lock lock(mutex_);
    const auto it = std::find(watched_.begin(), watched_.end(), text);
    if (it != watched_.end()) {
        watched_.erase(it);
        ++finished_;
    }
}

std::string ProgressMonitor::Describe(const std::string& text, Sample& sample,
                                      Clock::time_point now) const {
    struct stat info {};
    const std::string base = resources_ + text;
    if (::stat((base + "_files_tmp").c_str(), &info) == 0) {
        return text + " unpacking";
    }
    const std::optional<std::uint64_t> so_far = PackageBytesSoFar(resources_, text);
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
    std::string line = text + " " + FormatBytes(static_cast<double>(bytes));
    if (sample.rate >= 0) {
        line += " " + FormatBytes(sample.rate) + "/s";
    }
    return line;
}

void ProgressMonitor::Run(std::stop_token stop) {
    std::map<std::string, Sample> samples;
    for (;;) {
        std::vector<std::string> watched;
        std::size_t finished = 0;
        {
            std::unique_lock lock(mutex_);
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
            line += (line.empty() ? "" : "  ") + Describe(text, samples[text], now);
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
