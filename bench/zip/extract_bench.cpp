// zip_extract_bench export <resources folder's application-data root> <identifier>
//     A host's request for a resource whose version-1 package lies in the resources folder:
//     DownloadResFileEx unpacks it there (the package's body read in place) and deletes it.
//     Prints the seconds of the call.
// zip_extract_bench <archive> <target folder> <chunk size>
//     ExtractArchive alone, with that chunk size.
// zip_extract_bench engine
//     Prints the inflate engine this build uses.
// zip_extract_bench plain <corpus> <target folder>
//     The limit an extractor is held against: the corpus's files (read into memory first) written
//     with the plain calls, a folder made for each new one, each file created new, written in
//     1 MiB blocks and closed. Prints the seconds of the writing alone.
// zip_extract_bench read <archive> <chunk size>
//     The reading side's limit (ReadAlone.h): every entry read, inflated and CRC-checked with that
//     chunk size, nothing written. Prints its seconds.
// Exit status 0 on success.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <set>
#include <string>

#include "PlainCorpus.h"
#include "ReadAlone.h"

#include "KELResMgr.h"
#include "KELResMgr/zip/InflateEngine.h"
#include "KELResMgr/zip/ZipExtract.h"

namespace {

bool WritePlain(const std::string& target, const kel::bench::PlainFile& file) {
    const int fd =
        open((target + "/" + file.name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool written = true;
    for (std::size_t at = 0; written && at < file.size;) {
        const ssize_t count =
            write(fd, file.data + at, std::min(file.size - at, kel::bench::kPlainBlock));
        written = count > 0;
        at += written ? static_cast<std::size_t>(count) : 0;
    }
    return close(fd) == 0 && written;
}

int Plain(const std::string& corpus_path, const std::string& target) {
    const auto corpus = kel::bench::ReadCorpus(corpus_path.c_str());
    const auto files = corpus ? kel::bench::ParsePlainCorpus(*corpus) : std::nullopt;
    if (!files) {
        std::fprintf(stderr, "cannot read the corpus %s\n", corpus_path.c_str());
        return 1;
    }
    std::set<std::string> folders;
    const auto start = std::chrono::steady_clock::now();
    for (const auto& file : *files) {
        for (const auto& folder : kel::bench::NewFolders(file.name, folders)) {
            if (mkdir((target + "/" + folder).c_str(), 0755) != 0) {
                std::perror(folder.c_str());
                return 1;
            }
        }
        if (!WritePlain(target, file)) {
            std::perror(file.name.c_str());
            return 1;
        }
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    std::printf("%.6f\n", seconds.count());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "engine") {
        std::printf("%s\n", kel::InflateEngineName());
        return 0;
    }
    if (mode == "plain" && argc == 4) {
        return Plain(argv[2], argv[3]);
    }
    if (mode == "export" && argc == 4) {
        // Read at the library's first use of the folder, not at load.
        setenv("KELRES_COMMON_APPDATA", argv[2], 1);
        const auto start = std::chrono::steady_clock::now();
        const std::string folder = DownloadResFileEx(argv[3], 0, nullptr, 0, true);
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        std::printf("%.6f\n", seconds.count());
        return folder.size() > 6 && folder.compare(folder.size() - 6, 6, "_files") == 0 ? 0 : 1;
    }
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: %s export <appdata> <id> | plain <corpus> <target> | "
                     "read <archive> <chunk> | <archive> <target> <chunk>\n",
                     argv[0]);
        return 2;
    }
    try {
        const auto chunk = static_cast<std::size_t>(std::strtoul(argv[3], nullptr, 10));
        if (mode == "read") {
            std::printf("%.6f\n", kel::bench::ReadAlone(argv[2], chunk));
            return 0;
        }
        return kel::ExtractArchive(argv[1], argv[2], chunk) ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "cannot extract %s: %s\n", argv[1], error.what());
        return 1;
    }
}
