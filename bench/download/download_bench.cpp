// Download benchmarks, printed side by side with reference tools measured in the same run:
//   latency   time for a background request to return while the media server is slow
//   parallel  ten 100 MB packages downloaded and unpacked at once, against curl + unzip
//   rss       peak resident memory of a process that downloads and unpacks a 1 GiB package
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "harness/HttpServer.h"
#include "harness/LibraryCopy.h"
#include "harness/Packages.h"
#include "harness/TempFolder.h"

namespace fs = std::filesystem;
using namespace kel::test;
using Clock = std::chrono::steady_clock;

namespace {

std::string g_self;
std::string g_script_dir;

std::string Id(int n) {
    char text[17];
    std::snprintf(text, sizeof text, "0A1B%04X0000AB%02X", n & 0xFFFF, n & 0xFF);
    return text;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void MakePackage(const std::string& out, int size_mb, bool stored) {
    std::vector<std::string> args = {"/usr/bin/python3", g_script_dir + "/make_package.py", out,
                                     std::to_string(size_mb)};
    if (stored) {
        args.push_back("--stored");
    }
    if (RunProgram(args) != 0) {
        throw std::runtime_error("cannot make the benchmark package " + out);
    }
}

void Publish(const std::string& root, const std::string& id, const std::string& package) {
    const fs::path target = fs::path(root) / MediaPath(id);
    fs::create_directories(target.parent_path());
    fs::create_hard_link(package, target);
}

std::string Settings(int port, int max_task) {
    return "[download]\nhttp_server=127.0.0.1\nhttp_port=" + std::to_string(port) +
           "\nmax_task=" + std::to_string(max_task) + "\n";
}

void PrintSpread(const char* what, std::vector<double> micros, const char* target) {
    std::sort(micros.begin(), micros.end());
    std::printf("  %s: median %.1f us, p99 %.1f us, worst %.1f us%s\n", what,
                micros[micros.size() / 2], micros[micros.size() * 99 / 100], micros.back(), target);
}

// What starting one thread costs here: every background request starts one.
std::vector<double> BareThreadStarts(int count) {
    std::vector<double> micros;
    auto next = Clock::now();
    for (int n = 0; n < count; ++n) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(1);
        const auto start = Clock::now();
        std::thread([] { std::this_thread::sleep_for(std::chrono::seconds(2)); }).detach();
        micros.push_back(Seconds(Clock::now() - start) * 1e6);
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    return micros;
}

// A host asks for resources one after another, about one each millisecond, while the media
// server takes 2 s to answer each download: the requests must never wait for the network.
void Latency() {
    constexpr int kRequests = 1000;
    AppDataSandbox sandbox;
    ScriptedHttpServer server;
    HttpAnswer slow = HttpAnswer::Text(404, "none");
    slow.delay_ms = 2000;
    server.Answer("*", slow);
    LibraryCopy library(Settings(server.port(), kRequests + 1));
    WindowRecorder window;
    std::vector<double> micros;
    auto next = Clock::now();
    for (int n = 0; n < kRequests; ++n) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(1);
        const std::string id = Id(n);
        ResID record{};
        for (int i = 0; i < 4; ++i) {
            record.bytes[i] = static_cast<uint8_t>(std::stoul(id.substr(i * 2, 2), nullptr, 16));
        }
        record.number = static_cast<uint32_t>(std::stoul(id.substr(8), nullptr, 16));
        const auto start = Clock::now();
        const std::string answer = library.DownloadResFile(&record, window.handle(), "ctx", 3);
        micros.push_back(Seconds(Clock::now() - start) * 1e6);
        if (!answer.empty()) {
            std::printf("unexpected answer %s\n", answer.c_str());
        }
    }
    std::printf(
        "latency: %d background requests (one a millisecond), media server answering "
        "after 2 s\n",
        kRequests);
    PrintSpread("DownloadResFile return time", micros, " (target: worst < 1000 us)");
    std::fflush(stdout);
    // Every worker has its answer 2 s after its request; give the last ones time to end.
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (server.RequestLines().size() < kRequests && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    PrintSpread("reference, a bare detached std::thread start, same pacing",
                BareThreadStarts(kRequests), "");
}

void Parallel() {
    constexpr int kPackages = 10;
    constexpr int kRounds = 3;
    TempFolder work("kelres-bench-parallel-");
    const std::string package = work / "package.tsl";
    // About 100 MB of package: half of its 200 MB of content is random and does not compress.
    MakePackage(package, 200, false);
    const std::string root = work / "media";
    for (int n = 0; n < kPackages; ++n) {
        Publish(root, Id(n), package);
    }
    NginxServer server(root);
    const double package_mb = static_cast<double>(fs::file_size(package)) / 1e6;

    std::vector<double> ours, reference;
    for (int round = 0; round < kRounds; ++round) {
        {
            AppDataSandbox sandbox;
            LibraryCopy library(Settings(server.port(), kPackages));
            WindowRecorder window;
            const auto start = Clock::now();
            for (int n = 0; n < kPackages; ++n) {
                library.DownloadResFileEx(Id(n), window.handle(), nullptr, 0, false);
            }
            if (!window.WaitFor(kPackages, std::chrono::minutes(5))) {
                throw std::runtime_error("the downloads did not all finish");
            }
            ours.push_back(Seconds(Clock::now() - start));
        }
        {
            TempFolder out("kelres-bench-curl-");
            const auto start = Clock::now();
            std::vector<std::thread> jobs;
            for (int n = 0; n < kPackages; ++n) {
                jobs.emplace_back([&, n] {
                    const std::string file = out / (Id(n) + ".tsl");
                    const std::string zip = out / (Id(n) + ".zip");
                    const std::string command =
                        "curl -s -o '" + file + "' '" + server.Url("/" + MediaPath(Id(n))) +
                        "' && tail -c +5 '" + file + "' > '" + zip + "' && unzip -q -o '" + zip +
                        "' -d '" + out / (Id(n) + "_files") + "'";
                    RunProgram({"/bin/sh", "-c", command});
                });
            }
            for (auto& job : jobs) {
                job.join();
            }
            reference.push_back(Seconds(Clock::now() - start));
        }
    }
    const double ours_s = Median(ours), reference_s = Median(reference);
    std::printf("parallel: %d packages of %.0f MB each from nginx, median of %d rounds\n",
                kPackages, package_mb, kRounds);
    std::printf("  KELResMgr (10 background downloads, until the 10th notification): %.2f s\n",
                ours_s);
    std::printf("  curl -s -o + unzip -q -o (10 in parallel):                     %.2f s\n",
                reference_s);
    std::printf("  ratio ours/reference: %.2f (target <= 0.35)\n", ours_s / reference_s);
}

// The child of Rss(): loads the library, downloads one package in wait mode, exits.
int RssChild(int port, const std::string& id) {
    LibraryCopy library(Settings(port, 10));
    const std::string folder = library.DownloadResFileEx(id, 0, nullptr, 0, true);
    return folder.empty() ? 1 : 0;
}

void Rss() {
    TempFolder work("kelres-bench-rss-");
    const std::string package = work / "big.tsl";
    MakePackage(package, 1024, true);
    const std::string root = work / "media";
    Publish(root, Id(1), package);
    NginxServer server(root);
    AppDataSandbox sandbox;
    rusage usage{};
    const auto start = Clock::now();
    const int status =
        RunProgram({g_self, "rss-child", std::to_string(server.port()), Id(1)}, &usage);
    const double seconds = Seconds(Clock::now() - start);
    rusage curl_usage{};
    RunProgram({"curl", "-s", "-o", work / "curl.tsl", server.Url("/" + MediaPath(Id(1)))},
               &curl_usage);
    std::printf("rss: one package of %.0f MiB (stored entries), downloaded and unpacked\n",
                static_cast<double>(fs::file_size(package)) / (1 << 20));
    std::printf("  KELResMgr process: status %d, %.1f s, peak RSS %.1f MiB (target < 32 MiB)\n",
                status, seconds, usage.ru_maxrss / 1024.0);
    std::printf("  curl -s -o (download only):    peak RSS %.1f MiB\n",
                curl_usage.ru_maxrss / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    g_self = fs::canonical("/proc/self/exe").string();
    g_script_dir = fs::path(__FILE__).parent_path().string();
    const std::string mode = argc > 1 ? argv[1] : "all";
    try {
        if (mode == "rss-child" && argc == 4) {
            return RssChild(std::stoi(argv[2]), argv[3]);
        }
        if (mode == "latency" || mode == "all") {
            Latency();
        }
        if (mode == "parallel" || mode == "all") {
            Parallel();
        }
        if (mode == "rss" || mode == "all") {
            Rss();
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "download_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
