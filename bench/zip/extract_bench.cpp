// zip_extract_bench export <resources folder's application-data root> <identifier>
//     A host's request for a resource whose version-1 package lies in the resources folder:
//     DownloadResFileEx unpacks it there (the package's body read in place) and deletes it.
// zip_extract_bench <archive> <target folder> <chunk size>
//     ExtractArchive alone, with that chunk size.
// zip_extract_bench engine
//     Prints the inflate engine this build uses.
// Exit status 0 on success.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "KELResMgr.h"
#include "KELResMgr/zip/InflateEngine.h"
#include "KELResMgr/zip/ZipExtract.h"

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "engine") {
        std::printf("%s\n", kel::InflateEngineName());
        return 0;
    }
    if (mode == "export" && argc == 4) {
        // Read at the library's first use of the folder, not at load.
        setenv("KELRES_COMMON_APPDATA", argv[2], 1);
        const std::string folder = DownloadResFileEx(argv[3], 0, nullptr, 0, true);
        return folder.size() > 6 && folder.compare(folder.size() - 6, 6, "_files") == 0 ? 0 : 1;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s export <appdata> <id> | <archive> <target> <chunk>\n",
                     argv[0]);
        return 2;
    }
    try {
        const auto chunk = static_cast<std::size_t>(std::strtoul(argv[3], nullptr, 10));
        return kel::ExtractArchive(argv[1], argv[2], chunk) ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "cannot extract %s: %s\n", argv[1], error.what());
        return 1;
    }
}
