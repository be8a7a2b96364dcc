#include "KELResMgr/download/DownloadWorker.h"

#include <atomic>
#include <optional>
#include <utility>

#include "KELResMgr/ModuleState.h"
#include "KELResMgr/ResManager.h"
#include "KELResMgr/base/ResId.h"
#include "KELResMgr/base/ResTrace.h"
#include "KELResMgr/download/HostNotification.h"
#include "KELResMgr/download/Leftovers.h"
#include "KELResMgr/download/Package.h"
#include "KELResMgr/download/PackageSignature.h"
#include "KELResMgr/download/PartFile.h"
#include "KELResMgr/net/InternetLibrary.h"
#include "KELResMgr/settings/LocalFolders.h"
#include "platform/module_thread.h"
#include "platform/thread_id.h"

namespace kel {
namespace {

constexpr char kFn[] = "[DownloadResProc] ";

// The fetched body, in this worker's own part file: a version-1 package is unpacked from there
// (done), a package of another version takes the name P and stays, as a request that found it
// would leave it (kOtherVersion); anything else goes with the part file. Nothing at P
// is read or removed: another process sharing the folder may be using that name.
WorkerResult InstallBody(const DownloadTask& task, PartFile& body, const std::string& folder) {
    if (!HasPackageSignature(body.path())) {
        KEL_TRACE(kFn, "DownloadResFile: %s [can not be downloaded]", task.package_path.c_str());
        return WorkerFailure::kNotAPackage;
    }
    if (!IsValidPackage(body.path())) {
        if (!body.Keep()) {
            return WorkerFailure::kCannotKeep;  // a folder stands at P
        }
        return WorkerFailure::kOtherVersion;
    }
    // Checked before the reader sees a byte of it: a package the publisher did not sign is
    // handled as no package, and goes with the part file.
    if (!PackageIsTrusted(body.path())) {
        KEL_TRACE(kFn, "DownloadResFile: %s [not signed by a package_key]",
                  task.package_path.c_str());
        return WorkerFailure::kNotAPackage;
    }
    const bool unpacked = ExtractPackage(body.path(), folder, kPackageBodyOffset);
    // "!@#" is this worker's own mark for a package it has tried to unpack, whatever the outcome.
    KEL_TRACE(kFn, "!@# %s", task.package_path.c_str());
    return unpacked ? WorkerResult() : WorkerFailure::kExtractFailed;
}

// Fetches and unpacks. Any error of the fetch ends it as a failure; the part file goes with
// it, and nothing else is removed.
WorkerResult FetchAndInstall(DownloadTask& task, const std::string& folder) {
    // What a process that ended left of this resource goes before this download adds its own.
    ReclaimLeftovers(ResourcesFolder(), task.id);
    std::optional<PartFile> body;
    FetchResult fetched;
    try {
        const std::string server_path = ServerPath(task.remote_name);
        KEL_TRACE(kFn, "REMOTE-FILE is: %s", server_path.c_str());
        fetched = task.manager->DownloadFileByHttp(server_path, task.package_path, body);
    } catch (...) {
        KEL_TRACE(kFn, "DownloadResFile: %s [exception on downloading]", task.remote_name.c_str());
        return WorkerFailure::kFetchRaised;
    }
    if (!fetched.ok()) {
        return WorkerFailure::kFetch;
    }
    return InstallBody(task, *body, folder);
}

// Fetches and unpacks while holding the task's unit of the running count, and settles T's state
// on every way out: no identifier stays "downloading" after its worker.
WorkerResult FetchAndUnpack(DownloadTask& task, const std::string& folder) {
    KEL_TRACE(kFn, "task number is %i", task.module->running_workers.load());
    WorkerResult result = WorkerFailure::kRaised;
    try {
        result = FetchAndInstall(task, folder);
    } catch (...) {
        result = WorkerFailure::kRaised;
    }
    try {
        if (result.ok()) {
            task.module->states.Store(task.id, kStateDownloaded);
            KEL_TRACE(kFn, "DownloadResProc: downloading is ok. ->%s", task.id.c_str());
        } else {
            task.module->states.Store(task.id, kStateUnknown);
        }
    } catch (...) {
        // Storing into an existing entry cannot fail; a new one could only run out of memory.
    }
    task.slot.Release();
    return result;
}

// The window is told only once the resource is recorded as downloaded and this worker no longer
// counts against the limit: a host that answers the notification by asking again, for this
// resource or another, is served, not refused.
WorkerResult RunDownload(DownloadTask& task) {
    const std::string folder = ResourcesFolder() + task.id + "_files";
    const WorkerResult result = FetchAndUnpack(task, folder);
    if (result.ok()) {
        try {
            _SendEchoMsg(task.window, task.data.data(),
                         static_cast<std::uint32_t>(task.data.size()), folder);
        } catch (...) {
            // Only the payload's memory can fail; the resource is unpacked all the same.
        }
    }
    return result;
}

void WorkerThreadMain(void* raw_task) {
    // A detached worker: its outcome is in T's state, and nobody reads its result.
    static_cast<void>(
        DownloadResProc(std::unique_ptr<DownloadTask>(static_cast<DownloadTask*>(raw_task))));
}

}  // namespace

WorkerSlot WorkerSlot::TakeBelow(std::atomic<int>& count, int limit) {
    int now = count.load();
    do {
        if (now >= limit) {
            return WorkerSlot();
        }
    } while (!count.compare_exchange_weak(now, now + 1));
    return WorkerSlot(count);
}

WorkerSlot WorkerSlot::Take(std::atomic<int>& count) {
    ++count;
    return WorkerSlot(count);
}

WorkerSlot& WorkerSlot::operator=(WorkerSlot&& other) noexcept {
    if (this != &other) {
        Release();
        count_ = std::exchange(other.count_, nullptr);
    }
    return *this;
}

void WorkerSlot::Release() noexcept {
    if (count_ != nullptr) {
        --*std::exchange(count_, nullptr);
    }
}

WorkerResult DownloadResProc(std::unique_ptr<DownloadTask> task_record) noexcept {
    if (!task_record) {
        return WorkerFailure::kRaised;
    }
    // The worker keeps every field; the record itself goes at once.
    DownloadTask task = std::move(*task_record);
    task_record.reset();
    WorkerResult result = WorkerFailure::kRaised;
    try {
        result = RunDownload(task);
    } catch (...) {  // only memory can run out before the state is settled
        try {
            task.module->states.Store(task.id, kStateUnknown);
        } catch (...) {
        }
    }
    task.slot.Release();
    task.data = {};
    KEL_TRACE(kFn, "TID%d exit.", static_cast<int>(platform::CurrentThreadId()));
    return result;
}

bool StartDownloadWorker(std::unique_ptr<DownloadTask> task) {
    // The internet library's set-up leaves per-thread state behind on the thread that runs it.
    // Run it here, on the host's thread: on a worker still finishing when the host exits, that
    // state would outlive the library's own clean-up at exit and never be freed.
    net::PrepareInternetLibrary();
    DownloadTask* raw_task = task.release();
    // The thread pins this library while it runs, so unloading it mid-download is safe.
    const int rc = KelStartModuleThread(&WorkerThreadMain, raw_task,
                                        reinterpret_cast<const void*>(&WorkerThreadMain));
    if (rc != 0) {
        task.reset(raw_task);
        return false;
    }
    return true;
}

}  // namespace kel
