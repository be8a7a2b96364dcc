#include "KELResMgr/zip/StagingFolder.h"

#include "KELResMgr/RandomName.h"
#include "platform/durable.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/path.h"

namespace kel {
namespace {

constexpr char kStagingSuffix[] = "_tmp-";  // followed by 8 hex digits
constexpr int kAttempts = 8;

// The folder that holds path (which has at least one folder level, as a target beside the
// resources folder's other entries does).
std::string ParentFolder(const std::string& path) {
    const std::size_t separator = path.find_last_of(platform::kPathSeparators);
    return separator == std::string::npos ? std::string(".") : path.substr(0, separator + 1);
}

}  // namespace

StagingFolder::StagingFolder(const std::string& target) : target_(target) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string candidate = target + kStagingSuffix + RandomHexDigits();
        if (platform::CreateOneFolder(candidate)) {
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
        // are removed, never entered.
        platform::SilentDelete(path_);
    }
}

bool StagingFolder::Install() {
    installed_ = platform::SilentRename(path_, target_);
    if (installed_) {
        platform::MakeEntriesDurable(ParentFolder(target_));
        return true;
    }
    // The rename fails onto a folder that holds files; such a folder is a finished extraction of
    // the same resource (or one the host made): it is what a request would find on disk.
    return platform::KindOf(target_) == platform::PathKind::kFolder;
}

}  // namespace kel
