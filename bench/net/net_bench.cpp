// Network benchmarks against nginx on 127.0.0.1, each beside a reference measured in the same
// run:
//  - download throughput of DownloadFileByHttp (one process per download, net_download_one)
//    against `curl -s -o`, for a 100 MiB and a 1 GiB file, median of 5, with the peak resident
//    memory of each downloading process (wait4);
//  - latency of 1000 sequential catalogue queries (GetResIDState of a library copy) for a
//    one-byte page, against plain libcurl requests, each with a fresh handle, in this process.
// The served files are generated under /tmp and deleted at the end.
//   net_bench <path of net_download_one>
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/HttpServer.h"
#include "harness/LibraryCopy.h"
#include "harness/TempFolder.h"
#include "net/BenchFiles.h"

namespace {

namespace fs = std::filesystem;
using kel::test::TempFolder;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 5;
constexpr int kQueries = 1000;
constexpr double kMiB = 1024.0 * 1024.0;

struct Run {
    double seconds = 0;
    long max_rss_kib = 0;
    int status = -1;
};

// Runs argv[0] with its arguments as a child and waits for it.
Run RunTimed(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execv(args[0], args.data());
        _exit(127);
    }
    Run run;
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
        return run;
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.max_rss_kib = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

double Percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(share * (values.size() - 1))];
}

void CheckDownload(const Run& run, const std::string& path, std::size_t size, const char* who) {
    std::error_code ec;
    if (run.status != 0 || fs::file_size(path, ec) != size) {
        std::fprintf(stderr, "%s failed: status %d\n", who, run.status);
        std::exit(1);
    }
    fs::remove(path, ec);
}

void BenchDownload(const std::string& tool, const kel::test::NginxServer& nginx,
                   const std::string& name, std::size_t size) {
    TempFolder out("kelres-bench-out-");
    const std::string target = out / "download";
    std::vector<double> ours, curls;
    long ours_rss = 0, curl_rss = 0;
    for (int i = 0; i < kRuns; ++i) {
        const Run mine = RunTimed({tool, name, target});
        CheckDownload(mine, target, size, "DownloadFileByHttp");
        const Run reference =
            RunTimed({"/usr/bin/curl", "-s", "-o", target, nginx.Url("/" + name)});
        CheckDownload(reference, target, size, "curl");
        ours.push_back(mine.seconds);
        curls.push_back(reference.seconds);
        ours_rss = std::max(ours_rss, mine.max_rss_kib);
        curl_rss = std::max(curl_rss, reference.max_rss_kib);
    }
    const double our_rate = size / kMiB / kel::bench::Median(ours);
    const double curl_rate = size / kMiB / kel::bench::Median(curls);
    std::printf(
        "download %-12s DownloadFileByHttp %8.1f MiB/s (%.3f s, peak RSS %5.1f MiB) | "
        "curl -s -o %8.1f MiB/s (%.3f s, peak RSS %5.1f MiB) | ratio %.3f\n",
        name.c_str(), our_rate, kel::bench::Median(ours), ours_rss / 1024.0, curl_rate,
        kel::bench::Median(curls), curl_rss / 1024.0, our_rate / curl_rate);
}

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

void BenchQueries(const kel::test::NginxServer& nginx) {
    kel::test::LibraryCopy library(
        "[upload]\nws_url=127.0.0.1\nws_http_port=" + std::to_string(nginx.port()) + "\n");
    std::vector<double> ours, reference;
    for (int i = 0; i < kQueries + 20; ++i) {
        const auto start = Clock::now();
        const int state = library.GetResIDState("0A1B2C3D0000ABCD");
        const double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (state != 7) {
            std::fprintf(stderr, "catalogue query failed: %d\n", state);
            std::exit(1);
        }
        if (i >= 20) {  // the first ones warm up
            ours.push_back(took);
        }
    }
    const std::string url = nginx.Url("/getresourceidstate.asp?resourceid=0A1B2C3D0000ABCD");
    for (int i = 0; i < kQueries + 20; ++i) {
        const auto start = Clock::now();
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Discard);
        const CURLcode result = curl_easy_perform(easy);
        curl_easy_cleanup(easy);
        const double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (result != CURLE_OK) {
            std::fprintf(stderr, "libcurl query failed: %s\n", curl_easy_strerror(result));
            std::exit(1);
        }
        if (i >= 20) {
            reference.push_back(took);
        }
    }
    std::printf(
        "catalogue %d queries  GetResIDState median %.3f ms (p90 %.3f ms) | "
        "libcurl fresh handle median %.3f ms (p90 %.3f ms)\n",
        kQueries, kel::bench::Median(ours), Percentile(ours, 0.9), kel::bench::Median(reference),
        Percentile(reference, 0.9));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <net_download_one>\n", argv[0]);
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::vector<std::pair<std::string, std::size_t>> files = {
        {"file100m.bin", std::size_t{100} << 20}, {"file1g.bin", std::size_t{1} << 30}};
    {
        TempFolder data("kelres-bench-net-");
        for (const auto& [name, size] : files) {
            kel::bench::MakeRandomFile(data / name, size);
        }
        kel::test::WriteFile(data / "getresourceidstate.asp", "7");
        kel::test::NginxServer nginx(data.path());

        // The downloader reads its settings beside itself: a copy in a folder of its own.
        TempFolder tool_folder("kelres-bench-tool-");
        const std::string tool = tool_folder / "net_download_one";
        fs::copy_file(argv[1], tool);
        kel::test::WriteFile(tool_folder / "Tessel.ini",
                             "[download]\nhttp_server=127.0.0.1\n"
                             "http_port=" +
                                 std::to_string(nginx.port()) + "\n");
        for (const auto& [name, size] : files) {
            BenchDownload(tool, nginx, name, size);
        }
        BenchQueries(nginx);
    }
    curl_global_cleanup();
    return 0;
}
