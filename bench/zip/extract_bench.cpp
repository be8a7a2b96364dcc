// zip_extract_bench <archive> <target folder> <chunk size>
// Extracts the archive as a download does: 20480 runs ExtractPackage itself, any other chunk size
// the same extraction with that buffer. Exit status 0 on success.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "KELResMgr/Package.h"
#include "KELResMgr/zip/ZipExtract.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <archive> <target folder> <chunk size>\n", argv[0]);
        return 2;
    }
    const std::string archive = argv[1];
    const std::string target = argv[2];
    const auto chunk = static_cast<std::size_t>(std::strtoul(argv[3], nullptr, 10));
    if (chunk == 20480) {
        return kel::ExtractPackage(archive, target) ? 0 : 1;
    }
    try {
        return kel::ExtractArchive(archive, target, chunk) ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "cannot extract %s: %s\n", archive.c_str(), error.what());
        return 1;
    }
}
