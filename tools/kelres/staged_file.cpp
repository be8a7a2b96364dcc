#include "tools/kelres/staged_file.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "tools/kelres/command_line.h"
#include "tools/kelres/system_error_text.h"

namespace kel::tool {
namespace fs = std::filesystem;

namespace {

#if !defined(_WIN32)

// The permissions a file created now would get: 0666 without the process's umask. The umask can
// only be read by setting it, so this is for single-threaded moments such as a command's end.
mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

#endif

fs::path TargetFolder(const fs::path& target) {
    fs::path folder = target.parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

}  // namespace

#if defined(_WIN32)

StagedFile::StagedFile(std::string target) : target_(std::move(target)) {
    const fs::path folder = TargetFolder(target_);
    // A new file with a unique name in the folder; it has the folder's inherited permissions,
    // as any new file there would.
    char name[MAX_PATH] = "";
    if (GetTempFileNameA(folder.string().c_str(), "kel", 0, name) == 0) {
        throw CommandError("cannot create a file in " + folder.string() + ": " +
                           LastSystemErrorText());
    }
    path_ = name;
}

void StagedFile::Commit() {
    // The content reaches the disk before the name does, so a crash cannot leave a complete
    // name with incomplete content.
    const HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool flushed = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
    const std::string cause = flushed ? "" : LastSystemErrorText();
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (!flushed) {
        throw CommandError("cannot write " + target_ + ": " + cause);
    }
    if (!MoveFileExA(path_.c_str(), target_.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        throw CommandError("cannot write " + target_ + ": " + LastSystemErrorText());
    }
    committed_ = true;
}

#else

StagedFile::StagedFile(std::string target) : target_(std::move(target)) {
    const fs::path target_path(target_);
    const fs::path folder = TargetFolder(target_path);
    std::string pattern = (folder / ("." + target_path.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        throw CommandError("cannot create a file in " + folder.string() + ": " +
                           LastSystemErrorText());
    }
    close(fd);
    path_ = pattern;
}

void StagedFile::Commit() {
    // The content reaches the disk before the name does, so a crash cannot leave a complete
    // name with incomplete content.
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
        const std::string cause = LastSystemErrorText();
        if (fd >= 0) {
            close(fd);
        }
        throw CommandError("cannot write " + target_ + ": " + cause);
    }
    close(fd);
    if (chmod(path_.c_str(), NewFileMode()) != 0 || rename(path_.c_str(), target_.c_str()) != 0) {
        throw CommandError("cannot write " + target_ + ": " + LastSystemErrorText());
    }
    committed_ = true;
}

#endif

StagedFile::~StagedFile() {
    if (!committed_) {
        std::error_code ec;
        fs::remove(path_, ec);
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
