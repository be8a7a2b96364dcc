// Upload throughput of UploadResFile (a library copy, in this process) against `curl -s -T` (a
// child process) for one 200 MB file, both to the same FTP server on 127.0.0.1 (the test
// harness's pyftpdlib server) in active mode, median of 5. The file is generated under /tmp and
// deleted at the end, as are the stored copies after each run.
//   upload_bench
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/FtpServer.h"
#include "harness/LibraryCopy.h"
#include "harness/Packages.h"
#include "harness/TempFolder.h"
#include "net/BenchFiles.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 5;
constexpr std::size_t kSize = 200 * 1000 * 1000;
constexpr double kMB = 1000.0 * 1000.0;

void CheckStored(const std::string& path, const char* who) {
    std::error_code ec;
    if (fs::file_size(path, ec) != kSize) {
        std::fprintf(stderr, "%s stored no whole copy at %s\n", who, path.c_str());
        std::exit(1);
    }
    fs::remove_all(fs::path(path).parent_path(), ec);
}

}  // namespace

int main() {
    kel::test::TempFolder data("kelres-bench-upload-");
    const std::string file = data / "0123ABCD00000001.tsl";
    kel::bench::MakeRandomFile(file, kSize);
    kel::test::FtpServer server;
    kel::test::LibraryCopy library(
        "[upload]\nftp_server=127.0.0.1\nftp_port=" + std::to_string(server.port()) + "\n");
    const std::string ours_stored = server.root() + "/01/23/AB/CD/0123ABCD00000001.tsl";
    const std::string curl_stored = server.root() + "/ref/0123ABCD00000001.tsl";
    const std::string curl_url =
        "ftp://127.0.0.1:" + std::to_string(server.port()) + "/ref/0123ABCD00000001.tsl";

    std::vector<double> ours, curls;
    for (int i = 0; i < kRuns; ++i) {
        auto start = Clock::now();
        const int result = library.UploadResFile(file.c_str());
        ours.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (result != 0) {
            std::fprintf(stderr, "UploadResFile failed: %d\n", result);
            return 1;
        }
        CheckStored(ours_stored, "UploadResFile");

        start = Clock::now();
        const int status = kel::test::RunProgram(
            {"/usr/bin/curl", "-s", "--ftp-port", "-", "--ftp-create-dirs", "-T", file, curl_url});
        curls.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (status != 0) {
            std::fprintf(stderr, "curl -T failed: %d\n", status);
            return 1;
        }
        CheckStored(curl_stored, "curl");
    }
    const double our_rate = kSize / kMB / kel::bench::Median(ours);
    const double curl_rate = kSize / kMB / kel::bench::Median(curls);
    std::printf(
        "upload 200 MB  UploadResFile %7.1f MB/s (%.3f s) | curl -T %7.1f MB/s (%.3f s) | "
        "ratio %.3f\n",
        our_rate, kel::bench::Median(ours), curl_rate, kel::bench::Median(curls),
        our_rate / curl_rate);
    return 0;
}
