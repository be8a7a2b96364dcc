// Under Wine: one extraction by KELResMgr.dll, or by the plain Windows writer beside it, timed
// inside this process, so that Wine's start-up is not counted. bench/zip/run --wine runs it.
//
// wine_extract export <KELResMgr.dll> <identifier>
//     A host's request for a resource whose version-1 package lies in the resources folder:
//     DownloadResFileEx in wait mode unpacks it there and deletes the package. Times the call
//     alone: a host loads the DLL once, not for each resource (the load takes some 12 ms here).
// wine_extract plain <corpus> <target folder>
//     The corpus's files (bench/zip/PlainCorpus.h, read into memory first) written with the plain
//     calls: CreateDirectoryA for each new folder, CreateFileA (CREATE_NEW), WriteFile in 1 MiB
//     blocks, CloseHandle. Times the writing alone.
// wine_extract read <archive> <chunk size>
//     The reading side's limit (ReadAlone.h), with the library's code built into this program:
//     every entry read, inflated and CRC-checked, nothing written.
//
// Prints "<seconds> <peak working set> <peak working set before>" (bytes; "before" is the peak
// at the start of the timed part: the process's own, and the corpus's for plain). Exit status 0
// on success.
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <set>
#include <string>

#include "KELResMgr.h"
#include "PlainCorpus.h"
#include "ReadAlone.h"

namespace {

using Clock = std::chrono::steady_clock;

std::size_t PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
               ? counters.PeakWorkingSetSize
               : 0;
}

void Report(Clock::time_point start, std::size_t peak_before) {
    const std::chrono::duration<double> seconds = Clock::now() - start;
    std::printf("%.6f %zu %zu\n", seconds.count(), PeakWorkingSet(), peak_before);
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int Export(const char* dll, const char* id) {
    const std::size_t peak_before = PeakWorkingSet();
    HMODULE library = LoadLibraryA(dll);
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load %s: error %lu\n", dll, GetLastError());
        return 1;
    }
    auto download = reinterpret_cast<PFN_DownloadResFileEx>(
        reinterpret_cast<void*>(GetProcAddress(library, "DownloadResFileEx")));
    const auto start = Clock::now();
    const std::string folder = download != nullptr ? download(id, nullptr, nullptr, 0, true) : "";
    Report(start, peak_before);
    FreeLibrary(library);
    if (!EndsWith(folder, "_files")) {
        std::fprintf(stderr, "DownloadResFileEx(%s) answered \"%s\"\n", id, folder.c_str());
        return 1;
    }
    return 0;
}

std::string WindowsName(std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

bool WritePlain(const std::string& target, const kel::bench::PlainFile& file) {
    HANDLE handle = CreateFileA((target + "\\" + WindowsName(file.name)).c_str(), GENERIC_WRITE, 0,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool written = true;
    for (std::size_t at = 0; written && at < file.size;) {
        DWORD count = 0;
        const auto block = static_cast<DWORD>(std::min(file.size - at, kel::bench::kPlainBlock));
        written = WriteFile(handle, file.data + at, block, &count, nullptr) && count > 0;
        at += count;
    }
    return CloseHandle(handle) && written;
}

int Plain(const char* corpus_path, const std::string& target) {
    const auto corpus = kel::bench::ReadCorpus(corpus_path);
    const auto files = corpus ? kel::bench::ParsePlainCorpus(*corpus) : std::nullopt;
    if (!files) {
        std::fprintf(stderr, "cannot read the corpus %s\n", corpus_path);
        return 1;
    }
    std::set<std::string> folders;
    const std::size_t peak_before = PeakWorkingSet();
    const auto start = Clock::now();
    for (const auto& file : *files) {
        for (const auto& folder : kel::bench::NewFolders(file.name, folders)) {
            if (!CreateDirectoryA((target + "\\" + WindowsName(folder)).c_str(), nullptr)) {
                std::fprintf(stderr, "cannot create %s: error %lu\n", folder.c_str(),
                             GetLastError());
                return 1;
            }
        }
        if (!WritePlain(target, file)) {
            std::fprintf(stderr, "cannot write %s: error %lu\n", file.name.c_str(), GetLastError());
            return 1;
        }
    }
    Report(start, peak_before);
    return 0;
}

int Read(const char* archive, std::size_t chunk) {
    const std::size_t peak_before = PeakWorkingSet();
    const auto start = Clock::now();
    try {
        kel::bench::ReadAlone(archive, chunk);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "cannot read %s: %s\n", archive, error.what());
        return 1;
    }
    Report(start, peak_before);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "export" && argc == 4) {
        return Export(argv[2], argv[3]);
    }
    if (mode == "plain" && argc == 4) {
        return Plain(argv[2], argv[3]);
    }
    if (mode == "read" && argc == 4) {
        return Read(argv[2], std::strtoul(argv[3], nullptr, 10));
    }
    std::fprintf(stderr,
                 "usage: wine_extract export <KELResMgr.dll> <id> | plain <corpus> <target> | "
                 "read <archive> <chunk>\n");
    return 2;
}
