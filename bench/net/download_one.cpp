// One download by the shared download manager, in a process of its own, so that the benchmark
// can time it and read its peak resident memory. Reads "Tessel.ini" beside this program.
//   net_download_one <remote path> <local path>   exit status 0 when the file is stored there
#include <cstdio>
#include <optional>

#include "KELResMgr/ModuleState.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <remote path> <local path>\n", argv[0]);
        return 2;
    }
    const auto state = kel::CreateModuleState();
    std::optional<kel::PartFile> body;
    const bool fetched = kel::Module().downloads.DownloadFileByHttp(argv[1], argv[2], body).ok();
    return fetched && body->Keep() ? 0 : 1;
}
