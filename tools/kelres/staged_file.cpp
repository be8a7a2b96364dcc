#include "tools/kelres/staged_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "tools/kelres/command_line.h"

namespace kel::tool {
namespace fs = std::filesystem;

namespace {

std::string ErrnoText() {
    return std::strerror(errno);
}

// The permissions a file created now would get: 0666 without the process's umask. The umask can
// only be read by setting it, so this is for single-threaded moments such as a command's end.
mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

StagedFile::StagedFile(std::string target) : target_(std::move(target)) {
    const fs::path target_path(target_);
    fs::path folder = target_path.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    std::string pattern = (folder / ("." + target_path.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        throw CommandError("cannot create a file in " + folder.string() + ": " + ErrnoText());
    }
    close(fd);
    path_ = pattern;
}

StagedFile::~StagedFile() {
    if (!committed_) {
        std::error_code ec;
        fs::remove(path_, ec);
    }
}

void StagedFile::Commit() {
    // The content reaches the disk before the name does, so a crash cannot leave a complete
    // name with incomplete content.
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
        const std::string cause = ErrnoText();
        if (fd >= 0) {
            close(fd);
        }
        throw CommandError("cannot write " + target_ + ": " + cause);
    }
    close(fd);
    if (chmod(path_.c_str(), NewFileMode()) != 0 || rename(path_.c_str(), target_.c_str()) != 0) {
        throw CommandError("cannot write " + target_ + ": " + ErrnoText());
    }
    committed_ = true;
}

void AppendFileContent(const std::string& from_path, platform::File& out) {
    platform::File from = platform::File::Open(from_path, platform::File::Mode::kRead);
    std::vector<char> buffer(64 * 1024);
    while (const std::size_t got = from.Read(buffer.data(), buffer.size())) {
        out.Write(buffer.data(), got);
    }
}

}  // namespace kel::tool
