#include "FuzzScratch.h"

#include <cstdlib>
#include <vector>

#include "platform/file.h"

namespace kel::fuzz {

const std::string& ScratchFolder() {
    static const std::string folder = [] {
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
