#include "KELResMgr/download/DownloadRequests.h"

#include <memory>
#include <string_view>

#include "KELResMgr/ModuleState.h"
#include "KELResMgr/base/ResId.h"
#include "KELResMgr/base/ResTrace.h"
#include "KELResMgr/download/DownloadWorker.h"
#include "KELResMgr/download/HostNotification.h"
#include "KELResMgr/download/Package.h"
#include "KELResMgr/download/PackageSignature.h"
#include "KELResMgr/settings/Config.h"
#include "KELResMgr/settings/LocalFolders.h"
#include "platform/extraction.h"
#include "platform/file_ops.h"

namespace kel {
namespace {

constexpr char kFn[] = "[DownloadResFileEx] ";
constexpr int kDefaultTaskLimit = 10;

// Where one identifier lives on disk.
struct ResourcePaths {
    explicit ResourcePaths(const std::string& id)
        : resources(ResourcesFolder()),
          base(resources + id),
          package(base + ".tsl"),
          folder(base + "_files"),
          set_aside(package + ".invalid_res_file") {}

    std::string resources;  // F, ending with a separator
    std::string base;       // F + T
    std::string package;    // F + T + ".tsl"
    std::string folder;     // F + T + "_files"
    std::string set_aside;  // F + T + ".tsl.invalid_res_file"
};

// The host is trusted with the identifier text, but a name that is not one plain file name
// could make the library write outside the resources folder, and "." would ask the media server
// for a path that climbs out of its folder tree ("/../ts/l//..tsl"). On Windows a device name
// ("NUL", "COM1") or a stream ("a:b") would not be a file of the resources folder at all.
bool IsPlainName(std::string_view name) {
    return name != "." &&
           name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos &&
           name.find("..") == std::string_view::npos && platform::IsStorableName(name);
}

// The download limit: read once per load, at the first request that may start a download.
// Requests that race for the first read may each read the settings (no lock is held across the
// read); the first value stored is the limit of this load.
int TaskLimit(ModuleState& module) {
    const int kept = module.task_limit.load();
    if (kept > 0) {
        return kept;
    }
    int limit = kDefaultTaskLimit;
    const long configured = ParseLeadingNumber(
        ReadConfig(config::kDownload, config::kMaxTask, config::kDefaultMaxTask));
    if (configured > 0) {
        limit = static_cast<int>(configured);
    }
    int expected = -1;
    module.task_limit.compare_exchange_strong(expected, limit);
    return module.task_limit.load();
}

void Notify(HWND window, const void* data, std::uint32_t data_size, const std::string& folder) {
    _SendEchoMsg(window, data, data_size, folder);
}

// The package folder stands on disk: notify, remember it (state 4) and answer it.
std::string AnswerFolderOnDisk(ModuleState& module, const std::string& id,
                               const ResourcePaths& paths, HWND window, const void* data,
                               std::uint32_t data_size) {
    KEL_TRACE(kFn, "DownloadResFile: %s_files  [directory exist]", paths.base.c_str());
    Notify(window, data, data_size, paths.folder);
    module.states.Store(id, kStateFolderOnDisk);
    return paths.folder;
}

// A package found on disk: unpack a version-1 package now, leave other versions alone, and set
// aside anything that is no package at all. The state is settled before returning.
std::string AnswerFromPackageFile(ModuleState& module, const std::string& id,
                                  const ResourcePaths& paths, HWND window, const void* data,
                                  std::uint32_t data_size) {
    // A package the publisher did not sign is never unpacked: it is set aside as no package.
    const bool valid = IsValidPackage(paths.package);
    if (valid && PackageIsTrusted(paths.package)) {
        // The body is read in place: no temporary copy to write, or to leave behind.
        if (ExtractPackage(paths.package, paths.folder, kPackageBodyOffset)) {
            KEL_TRACE(kFn, "DownloadResFile: %s_files  [extract exist res file to directory]",
                      paths.base.c_str());
            Notify(window, data, data_size, paths.folder);
            platform::RemoveFile(paths.package);
            KEL_TRACE(kFn, "!@# %s", paths.package.c_str());
            module.states.Store(id, kStateUnknown);
            return paths.folder;
        }
        // The failed extraction has removed what it wrote; a folder at the target was not made
        // by this call (another process may have installed the resource meanwhile), and stays.
        KEL_TRACE(kFn, "DownloadResFile: %s_files  [failed to extract for bad package]",
                  paths.base.c_str());
        platform::RemoveFile(paths.package);
        if (PathExists(paths.folder, true)) {
            // Another process unpacked the same package first and removed it under this one.
            return AnswerFolderOnDisk(module, id, paths, window, data, data_size);
        }
        module.states.Store(id, kStateUnknown);
        return {};
    }
    if (!valid && HasPackageSignature(paths.package)) {
        KEL_TRACE(kFn, "DownloadResFile: %s [res file exist]", paths.package.c_str());
        module.states.Store(id, kStateUnknown);
        return paths.package;
    }
    KEL_TRACE(kFn,
              "DownloadResFile: %s [file found but not res file, rename it as *.invalid_res_file]",
              paths.package.c_str());
    if (PathExists(paths.set_aside, false)) {
        platform::RemoveFile(paths.set_aside);
    }
    platform::SilentRename(paths.package, paths.set_aside);
    module.states.Store(id, kStateUnknown);
    return paths.package;
}

// Neither folder nor package on disk: hand the work to a worker, here or on a thread of its own.
std::string StartDownload(ModuleState& module, const std::string& id, const ResourcePaths& paths,
                          HWND window, const void* data, std::uint32_t data_size, bool wait) {
    const int limit = TaskLimit(module);
    // The unit is taken here, before the worker starts: a count raised later, by the worker,
    // would let requests arriving together start more downloads than the limit.
    WorkerSlot slot = wait ? WorkerSlot::Take(module.running_workers)
                           : WorkerSlot::TakeBelow(module.running_workers, limit);
    if (!slot) {
        KEL_TRACE(kFn, "too many tasks.");
        module.states.Store(id, kStateUnknown);
        return {};
    }
    auto task = std::make_unique<DownloadTask>();
    task->slot = std::move(slot);
    task->module = module.shared_from_this();
    task->manager = &module.downloads;
    task->remote_name = id + ".tsl";
    task->package_path = paths.package;
    task->id = id;
    task->window = window;
    if (data_size > 0) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        task->data.assign(bytes, bytes + data_size);
    }
    if (wait) {
        const WorkerResult result = DownloadResProc(std::move(task));
        if (result.ok()) {
            return paths.folder;
        }
        // Answered as a request that found the file on disk would answer.
        return result == WorkerFailure::kOtherVersion ? paths.package : std::string();
    }
    if (!StartDownloadWorker(std::move(task))) {
        module.states.Store(id, kStateUnknown);
    }
    return {};
}

}  // namespace

std::string DownloadResFileEx(const std::string& name, HWND window, const void* data,
                              std::uint32_t data_size, bool wait) {
    if (name.empty()) {
        return name;
    }
    if (data == nullptr) {
        data_size = 0;
    }
    KEL_TRACE(kFn, "DownloadResFile:%s is required", name.c_str());
    if (!IsPlainName(name)) {
        KEL_TRACE(kFn, "DownloadResFile: %s is not an identifier, refused.", name.c_str());
        return {};
    }
    ModuleState& module = Module();
    const ResourcePaths paths(name);
    if (paths.resources.empty()) {
        KEL_TRACE(kFn, "DownloadResFile: %s refused: no resources folder can be had.",
                  name.c_str());
        return {};
    }

    switch (module.states.LookupAndClaim(name)) {
        case kStateDownloading:
            KEL_TRACE(kFn, "DownloadResFile: %s is downloading.", name.c_str());
            return {};
        case kStateDownloaded:
            KEL_TRACE(kFn, "DownloadResFile: %s has been downloaded.", name.c_str());
            Notify(window, data, data_size, paths.folder);
            return paths.folder;
        case kStateFolderOnDisk:
            KEL_TRACE(kFn, "DownloadResFile: %s directory exist.", name.c_str());
            Notify(window, data, data_size, paths.folder);
            return paths.folder;
        default:
            break;  // unknown: claimed for this request
    }

    // From here on every way out settles the claim, exceptions included.
    try {
        if (!PathExists(paths.resources, true)) {
            platform::CreateOneFolder(paths.resources.substr(0, paths.resources.size() - 1));
        }
        if (PathExists(paths.folder, true)) {
            return AnswerFolderOnDisk(module, name, paths, window, data, data_size);
        }
        if (PathExists(paths.package, false)) {
            return AnswerFromPackageFile(module, name, paths, window, data, data_size);
        }
        return StartDownload(module, name, paths, window, data, data_size, wait);
    } catch (...) {
        module.states.Store(name, kStateUnknown);
        throw;
    }
}

std::string DownloadResFile(const ResID* id, HWND window, const void* data,
                            std::uint32_t data_size) {
    if (id == nullptr) {
        return {};
    }
    if (data == nullptr) {
        data_size = 0;
    }
    const std::string text = ResIdText(*id);
    if (IsReservedResId(text)) {
        return {};
    }
    return kel::DownloadResFileEx(text, window, data, data_size, false);  // not the export
}

}  // namespace kel
