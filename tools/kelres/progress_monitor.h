// The live progress line of `kelres get`.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/annotated_mutex.h"
#include "tools/kelres/console.h"
#include "tools/kelres/package_size.h"

namespace kel::tool {

// Watches the files the library writes while it downloads: for each resource T the package file
// "<resources>/T.tsl.part-XXXXXXXX" grows while the package arrives (a version-1 package is
// unpacked from there), and a folder "<resources>/T_files_tmp-XXXXXXXX" is there while it is
// unpacked. Four times a second it shows, on the console's progress line,
// the bytes so far and the rate, or "unpacking"; with the package's size from the media server
// also the total, the share done and the time left. It runs only when stdout is a terminal; then
// it owns one thread, stopped by the destructor, and asks the server for sizes.
class ProgressMonitor {
  public:
    // resources: the library's resources folder, ending with '/'; total: resources asked for;
    // media_server: "http://host:port" to ask for package sizes, empty for none.
    ProgressMonitor(Console& console, std::string resources, std::size_t total,
                    const std::string& media_server);
    ~ProgressMonitor();
    ProgressMonitor(const ProgressMonitor&) = delete;
    ProgressMonitor& operator=(const ProgressMonitor&) = delete;

    // Starts (once) and ends showing the resource with identifier text T. Any thread.
    void Watch(const std::string& text);
    // ready: the resource is unpacked (else it failed).
    void Finish(const std::string& text, bool ready);
    // On a terminal, after more than one resource: one line with the resources ready out of
    // those asked for, the bytes of the packages fetched or unpacked ("at least" when the size of
    // one was not known), and the time taken.
    void Summarize(std::size_t ready);

  private:
    using Clock = std::chrono::steady_clock;
    // The last look at one package file; the monitor thread's own.
    struct Sample {
        std::uint64_t bytes = 0;
        Clock::time_point taken;
        double rate = -1;  // bytes per second; < 0 until two samples were taken
    };

    void Run(std::stop_token stop);
    void Stop();
    std::string Describe(const std::string& text, Sample& sample, Clock::time_point now) const;

    Console& console_;
    const std::string resources_;
    const std::size_t total_;
    const Clock::time_point started_ = Clock::now();
    std::unique_ptr<PackageSizes> sizes_;  // on a terminal only
    Mutex mutex_;
    std::condition_variable_any wake_;
    std::vector<std::string> watched_ KEL_GUARDED_BY(mutex_);
    std::size_t finished_ KEL_GUARDED_BY(mutex_) = 0;
    std::vector<std::string> present_ KEL_GUARDED_BY(mutex_);  // unpacked before asked
    std::map<std::string, std::uint64_t> bytes_seen_
        KEL_GUARDED_BY(mutex_);  // largest package file
    bool bytes_done_is_lower_bound_ KEL_GUARDED_BY(mutex_) = false;
    std::uint64_t bytes_done_ KEL_GUARDED_BY(mutex_) = 0;
    std::jthread thread_;  // last: it starts after, and stops before, the members above
};

// "312 B", "1.5 KiB", "20.0 MiB".
std::string FormatBytes(double bytes);
// "33.0/57.2 MiB": both in the unit of the total.
std::string FormatBytesOf(double bytes, double total);
// "0:03", "12:34", "1:02:03".
std::string FormatDuration(double seconds);

// The bytes of resource T's package received so far: the size of "T.tsl", else of the package
// being received ("T.tsl.part-" and a random suffix); nullopt when there is neither.
std::optional<std::uint64_t> PackageBytesSoFar(const std::string& resources,
                                               const std::string& text);

}  // namespace kel::tool
