#include "KELResMgr/zip/StagingFolder.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <utility>

#include "KELResMgr/base/RandomName.h"
#include "platform/durable.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/path.h"

namespace kel {
namespace {

constexpr std::string_view kStagingSuffix = "_tmp-";  // followed by 8 hex digits
constexpr std::size_t kStagingDigits = 8;
constexpr int kAttempts = 8;

// The lock on the folder just made at path; nothing when a reclaim took it first. A failure to
// lock it (no descriptor left) takes the fresh folder with it.
std::optional<platform::OwnerLock> TakeLock(const std::string& path) {
    try {
        return platform::OwnerLock::Take(path, platform::PathKind::kFolder);
    } catch (...) {
        platform::SilentDelete(path);
        throw;
    }
}

// The folder that holds path (which has at least one folder level, as a target beside the
// resources folder's other entries does).
std::string ParentFolder(const std::string& path) {
    const std::size_t separator = path.find_last_of(platform::kPathSeparators);
    return separator == std::string::npos ? std::string(".") : path.substr(0, separator + 1);
}

}  // namespace

bool IsStagingFolderName(std::string_view name, std::string_view target_name) {
    const std::size_t suffix = name.rfind(kStagingSuffix);
    if (suffix == std::string_view::npos || suffix == 0 ||
        name.size() != suffix + kStagingSuffix.size() + kStagingDigits ||
        (!target_name.empty() && name.substr(0, suffix) != target_name)) {
        return false;
    }
    const std::string_view digits = name.substr(suffix + kStagingSuffix.size());
    return std::all_of(digits.begin(), digits.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

StagingFolder::StagingFolder(const std::string& target) : target_(target) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string candidate = target + std::string(kStagingSuffix) + RandomHexDigits();
        if (platform::CreateOneFolder(candidate)) {
            std::optional<platform::OwnerLock> lock = TakeLock(candidate);
            if (!lock) {
                continue;  // removed by a reclaim in the instant after it was made
            }
            lock_ = std::move(*lock);
            path_ = std::move(candidate);
            return;
        }
        if (platform::KindOf(candidate) == platform::PathKind::kMissing) {
            break;  // not a clash: the folder cannot be made at all
        }
    }
    throw platform::FileError("create the staging folder for", target, platform::kFileExistsError);
}

StagingFolder::~StagingFolder() {
    if (!installed_) {
        // Made by this object: whatever it holds was written by this extraction. Links inside
        // are removed, never entered. Let go first: Windows removes no held folder, and the
        // walk may want the descriptor.
        lock_.Release();
        platform::SilentDelete(path_);
    }
}

bool StagingFolder::Install() {
    installed_ = lock_.RenameAndRelease(path_, target_);
    if (installed_) {
        platform::MakeEntriesDurable(ParentFolder(target_));
        return true;
    }
    // The rename fails onto a folder that holds files; such a folder is a finished extraction of
    // the same resource (or one the host made): it is what a request would find on disk.
    return platform::KindOf(target_) == platform::PathKind::kFolder;
}

}  // namespace kel
