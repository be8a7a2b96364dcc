#include "KELResMgr/download/Leftovers.h"

#include "KELResMgr/base/ResTrace.h"
#include "KELResMgr/download/PartFile.h"
#include "KELResMgr/zip/StagingFolder.h"
#include "platform/file_ops.h"
#include "platform/owner_lock.h"

namespace kel {
namespace {

constexpr char kFn[] = "[ReclaimLeftovers] ";
constexpr std::string_view kFolderSuffix = "_files";

bool IsStagingOfAResourceFolder(const std::string& name, std::string_view id) {
    if (!id.empty()) {
        return IsStagingFolderName(name, std::string(id) + std::string(kFolderSuffix));
    }
    const std::size_t target_end = name.rfind('_');  // before "tmp-" and the digits
    return IsStagingFolderName(name) && target_end >= kFolderSuffix.size() &&
           std::string_view(name).substr(target_end - kFolderSuffix.size(), kFolderSuffix.size()) ==
               kFolderSuffix;
}

bool IsPartFileOfAPackage(const std::string& name, std::string_view id) {
    return id.empty() ? IsPartFileName(name) : IsPartFileName(name, std::string(id) + ".tsl");
}

}  // namespace

void ReclaimLeftovers(const std::string& folder, std::string_view id) noexcept {
    try {
        for (const std::string& name : platform::NamesIn(folder)) {
            platform::PathKind kind = platform::PathKind::kMissing;
            if (IsPartFileOfAPackage(name, id)) {
                kind = platform::PathKind::kFile;
            } else if (IsStagingOfAResourceFolder(name, id)) {
                kind = platform::PathKind::kFolder;
            } else {
                continue;
            }
            if (platform::RemoveUnlessHeld(folder + name, kind)) {
                KEL_TRACE(kFn, "removed %s, left by a process that ended", name.c_str());
            }
        }
    } catch (...) {
        // Only memory can run out; what is left is reclaimed another time.
    }
}

}  // namespace kel
