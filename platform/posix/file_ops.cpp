#include "platform/file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace kel::platform {
namespace {

void DropTrailingSeparator(std::string& path) {
    if (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
}

// Out of descriptors, another thread of the process is likely to give some back soon (a download
// that ends, or fails for the same reason): a listing is tried again, pausing for at most a
// second in all per walk.
constexpr int kListingPauses = 100;
constexpr auto kListingPause = std::chrono::milliseconds(10);

using Listing = std::unique_ptr<DIR, int (*)(DIR*)>;

Listing OpenListing(const std::string& folder, int& pauses_left) {
    for (;;) {
        DIR* listing = ::opendir(folder.c_str());
        if (listing != nullptr || (errno != EMFILE && errno != ENFILE) || pauses_left == 0) {
            return {listing, &closedir};
        }
        --pauses_left;
        std::this_thread::sleep_for(kListingPause);
    }
}

// The names in folder, read whole and the listing closed before any is used.
std::vector<std::string> ReadNames(const std::string& folder, int& pauses_left) {
    std::vector<std::string> names;
    const Listing listing = OpenListing(folder, pauses_left);
    if (!listing) {
        return names;
    }
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    return names;
}

// Holds one descriptor at a time, whatever the depth of the tree, so that the clean-up of an
// extraction that failed for want of descriptors does not fail for the same want. A link is
// removed itself, never entered.
void RemoveTree(const std::string& path, int& pauses_left) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return;
    }
    if (!S_ISDIR(status.st_mode)) {
        ::unlink(path.c_str());
        return;
    }
    for (const std::string& name : ReadNames(path, pauses_left)) {
        RemoveTree(path + '/' + name, pauses_left);
    }
    ::rmdir(path.c_str());
}

}  // namespace

std::vector<std::string> NamesIn(const std::string& folder) {
    int pauses_left = kListingPauses;
    return ReadNames(folder, pauses_left);
}

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
    int pauses_left = kListingPauses;
    RemoveTree(path, pauses_left);
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
