#include "platform/private_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/file_ops.h"

namespace kel::platform {
namespace {

// Why the folder at path may not be trusted; empty when it may. lstat: a link is judged as the
// link, never as what it points at.
std::string Distrust(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return std::string("cannot be examined: ") + std::strerror(errno);
    }
    if (S_ISLNK(info.st_mode)) {
        return "is a symbolic link";
    }
    if (!S_ISDIR(info.st_mode)) {
        return "is not a folder";
    }
    if (info.st_uid != ::geteuid()) {
        return "belongs to user " + std::to_string(info.st_uid);
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "is writable by other users";
    }
    return {};
}

std::string MakePrivateFolder(const std::string& stem) {
    std::string pattern = stem + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        return {};
    }
    return buffer.data();
}

}  // namespace

UserTempFolder MakeUserTempFolder(std::string_view name) {
    const std::string shared = TempFolder() + std::string(name) + "-" + std::to_string(::getuid());
    if (::mkdir(shared.c_str(), 0700) != 0 && errno != EEXIST) {
        const std::string cause = std::string("cannot be made: ") + std::strerror(errno);
        return {MakePrivateFolder(shared), cause};
    }
    std::string rejected = Distrust(shared);
    if (rejected.empty()) {
        return {shared, {}};
    }
    return {MakePrivateFolder(shared), std::move(rejected)};
}

void RemoveEmptyFolder(const std::string& path) {
    if (!path.empty()) {
        ::rmdir(path.c_str());
    }
}

}  // namespace kel::platform
