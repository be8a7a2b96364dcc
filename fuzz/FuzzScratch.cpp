#include "FuzzScratch.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/file.h"

namespace kel::fuzz {

const std::string& ScratchFolder() {
    static const std::string folder = [] {
        // A run that must repeat itself input for input names its folder: the path reaches
        // the code under test (in its messages), and a random one would steer the fuzzer.
        const char* fixed = std::getenv("KELRES_FUZZ_SCRATCH");
        if (fixed != nullptr && *fixed != '\0') {
            if (mkdir(fixed, 0700) != 0 && errno != EEXIST) {
                std::abort();
            }
            return std::string(fixed);
        }
        const char* tmpdir = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/kelres-fuzz-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) {
            std::abort();
        }
        return std::string(buffer.data());
    }();
    return folder;
}

const std::string& WriteInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = ScratchFolder() + "/input.zip";
    platform::File file = platform::File::Open(path, platform::File::Mode::kCreateWrite);
    file.Write(data, size);
    file.Close();
    return path;
}

}  // namespace kel::fuzz
