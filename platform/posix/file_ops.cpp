#include "platform/file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

namespace kel::platform {
namespace {

void DropTrailingSeparator(std::string& path) {
    if (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
}

}  // namespace

std::string TempFolder() {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string folder = (tmpdir != nullptr && tmpdir[0] != '\0') ? tmpdir : "/tmp";
    if (folder.back() != '/') {
        folder.push_back('/');
    }
    return folder;
}

std::string MakeTempFileName(std::string_view prefix) {
    std::string name = TempFolder();
    name.append(prefix);
    name.append("XXXXXX");
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int fd = mkstemp(buffer.data());
    if (fd < 0) {
        return {};
    }
    close(fd);
    return std::string(buffer.data());
}

void SilentDelete(std::string path) {
    DropTrailingSeparator(path);
    if (path.empty()) {
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

bool RemoveFile(const std::string& path) {
    return !path.empty() && ::unlink(path.c_str()) == 0;  // EISDIR for a folder
}

bool SilentRename(std::string from, std::string to) {
    DropTrailingSeparator(from);
    DropTrailingSeparator(to);
    if (from.empty() || to.empty()) {
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    return !ec;
}

std::vector<std::string> FilesUnchangedFor(const std::string& folder, std::int64_t seconds) {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(folder.c_str()), &closedir);
    if (!listing) {
        return names;
    }
    const std::int64_t now = std::time(nullptr);
    while (const dirent* entry = readdir(listing.get())) {
        struct stat status {};
        if (fstatat(dirfd(listing.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode) && now - status.st_mtime >= seconds) {
            names.emplace_back(entry->d_name);
        }
    }
    return names;
}

bool CreateOneFolder(const std::string& path) {
    return !path.empty() && ::mkdir(path.c_str(), 0777) == 0;
}

PathKind KindOf(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) {
        return PathKind::kMissing;
    }
    return S_ISDIR(info.st_mode) ? PathKind::kFolder : PathKind::kFile;
}

}  // namespace kel::platform
