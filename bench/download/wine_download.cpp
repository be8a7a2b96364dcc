// Under Wine: packages downloaded and unpacked at once through KELResMgr.dll, one host thread
// each in wait mode, from a media server that is already running; prints the median time of the
// rounds. bench/download/run-wine runs it beside curl and the Linux figure.
// Usage: wine_download <port> <rounds> <id>...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "harness/LibraryCopy.h"

namespace {

using Clock = std::chrono::steady_clock;

// Seconds for one round: every identifier downloaded and unpacked; its folders removed after.
double Round(int port, const std::vector<std::string>& ids) {
    kel::test::LibraryCopy library(
        "[download]\nhttp_server=127.0.0.1\nhttp_port=" + std::to_string(port) +
        "\nmax_task=" + std::to_string(ids.size()) + "\n");
    std::vector<std::string> folders(ids.size());
    std::vector<std::thread> hosts;
    const auto start = Clock::now();
    for (std::size_t n = 0; n < ids.size(); ++n) {
        hosts.emplace_back(
            [&, n] { folders[n] = library.DownloadResFileEx(ids[n], 0, nullptr, 0, true); });
    }
    for (auto& host : hosts) {
        host.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (const auto& folder : folders) {
        if (folder.empty()) {
            throw std::runtime_error("a download failed");
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: wine_download <port> <rounds> <id>...\n");
        return 2;
    }
    try {
        const int port = std::stoi(argv[1]);
        const int rounds = std::stoi(argv[2]);
        const std::vector<std::string> ids(argv + 3, argv + argc);
        std::vector<double> seconds;
        for (int round = 0; round < rounds; ++round) {
            seconds.push_back(Round(port, ids));
        }
        std::sort(seconds.begin(), seconds.end());
        std::printf("%.2f\n", seconds[seconds.size() / 2]);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "wine_download: %s\n", error.what());
        return 1;
    }
}
