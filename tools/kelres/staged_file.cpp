#include "tools/kelres/staged_file.h"

#include <filesystem>
#include <optional>
#include <vector>

#include "tools/kelres/command_line.h"

namespace kel::tool {

PartFile StageBeside(const std::string& target) {
    int error_number = 0;
    std::optional<PartFile> staged = PartFile::CreateBeside(target, &error_number);
    if (!staged) {
        std::string folder = std::filesystem::path(target).parent_path().string();
        throw CommandError(
            platform::FileError("create a file in", folder.empty() ? "." : folder, error_number)
                .what());
    }
    return std::move(*staged);
}

void Commit(PartFile& staged, const std::string& target) {
    try {
        if (staged.file().is_open()) {
            staged.file().Flush();
            staged.Finish();
        }
    } catch (const platform::FileError& error) {
        throw CommandError(error.what());
    }
    if (!staged.Keep()) {
        throw CommandError("cannot write " + target + ": it cannot be replaced");
    }
}

void AppendFileContent(const std::string& from_path, platform::File& out) {
    platform::File from = platform::File::Open(from_path, platform::File::Mode::kRead);
    std::vector<char> buffer(64 * 1024);
    while (const std::size_t got = from.Read(buffer.data(), buffer.size())) {
        out.Write(buffer.data(), got);
    }
}

}  // namespace kel::tool
