// One download by the shared download manager, in a process of its own, so that the benchmark
// can time it and read its peak resident memory. Reads "Tessel.ini" beside this program.
//   net_download_one <remote path> <local path>   exit status: the result code
#include <cstdio>

#include "KELResMgr/ModuleState.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <remote path> <local path>\n", argv[0]);
        return 2;
    }
    const auto state = kel::CreateModuleState();
    return kel::Module().downloads.DownloadFileByHttp(argv[1], argv[2]);
}
