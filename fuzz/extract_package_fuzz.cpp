// Extracts the input into a folder of the scratch folder and checks that nothing was written
// beside the staging and target folders. An input that starts with "KEL" is read as a package,
// its body in place.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "FuzzScratch.h"
#include "KELResMgr/download/Package.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = kel::fuzz::WriteInput(data, size);
    const std::string& scratch = kel::fuzz::ScratchFolder();
    const std::string target = scratch + "/out_files";
    const bool package = size >= 3 && std::memcmp(data, "KEL", 3) == 0;
    kel::ExtractPackage(path, target, package ? kel::kPackageBodyOffset : 0);

    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(scratch, ec)) {
        const std::string name = entry.path().filename().string();
        if (name != "input.zip" && name != "out_files" && name != "out_files_tmp") {
            std::fprintf(stderr, "extraction wrote outside its folder: %s\n", name.c_str());
            std::abort();
        }
    }
    fs::remove_all(target, ec);
    fs::remove_all(target + "_tmp", ec);
    return 0;
}
