#include "harness/TempFolder.h"

#include <stdlib.h>

#if defined(_WIN32)
#include <windows.h>
// after windows.h
#include <shlobj.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace kel::test {

#if defined(_WIN32)
// The system's temporary folder (the Wine prefix's own under Wine), a name with a random tail.
TempFolder::TempFolder(const std::string& prefix) {
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = base / (prefix + std::to_string(random() % 1000000000u));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder in " + base.string());
}
#else
TempFolder::TempFolder(const std::string& prefix) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder from " + pattern);
    }
    path_ = buffer.data();
}
#endif

namespace {

// Removes the tree at path; read-only files and folders left by tests must not stop it.
void RemoveTree(const std::string& path) {
    std::error_code ec;
#if defined(_WIN32)
    // Names taken as they are: a server of the build machine may have made names that a plain
    // Windows path cannot reach, such as "c." (the trailing dot would be dropped).
    const fs::path root = "\\\\?\\" + path;
#else
    const fs::path root = path;
#endif
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(root, ec);
}

}  // namespace

TempFolder::~TempFolder() {
    RemoveTree(path_);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        old_ = old;
    }
    Set(value);
}

void ScopedEnv::Set(const std::optional<std::string>& value) const {
#if defined(_WIN32)
    _putenv_s(name_.c_str(), value ? value->c_str() : "");  // empty removes it
#else
    if (value) {
        setenv(name_.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
#endif
}

ScopedEnv::~ScopedEnv() {
    Set(old_);
}

#if defined(_WIN32)

namespace {

std::vector<std::string> EntryNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder + "\\", ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    return names;
}

}  // namespace

AppDataSandbox::AppDataSandbox() {
    char buffer[MAX_PATH] = "";
    if (!SHGetSpecialFolderPathA(nullptr, buffer, CSIDL_COMMON_APPDATA, TRUE)) {
        throw std::runtime_error("no all-users application-data folder");
    }
    common_ = buffer;
    root_ = fs::path(common_).parent_path().string();
    if (!root_.empty() && root_.back() == '\\') {
        root_.pop_back();
    }
    root_entries_ = EntryNames(root_);
    RemoveTree(common_ + "\\Vorn Tessel");
}

AppDataSandbox::~AppDataSandbox() {
    RemoveTree(common_ + "\\Vorn Tessel");
    for (const std::string& name : EntryNames(root_)) {
        if (std::find(root_entries_.begin(), root_entries_.end(), name) == root_entries_.end()) {
            RemoveTree(root_ + "\\" + name);
        }
    }
}

#else

AppDataSandbox::AppDataSandbox()
    : root_("kelres-appdata-"),
      common_("KELRES_COMMON_APPDATA", root_ / "common"),
      user_("XDG_DATA_HOME", root_ / "user") {}

#endif

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string ListTree(const std::string& root) {
    std::vector<std::string> entries;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        std::string name = fs::relative(it->path(), root, ec).generic_string();  // '/' everywhere
        if (it->is_directory(ec)) {
            name += "/";
        }
        entries.push_back(name);
    }
    std::sort(entries.begin(), entries.end());
    std::string listing;
    for (const auto& entry : entries) {
        listing += entry + "\n";
    }
    return listing;
}

}  // namespace kel::test
