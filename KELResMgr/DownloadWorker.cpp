#include "KELResMgr/DownloadWorker.h"

#include <atomic>

#include "KELResMgr/HostNotification.h"
#include "KELResMgr/LocalFolders.h"
#include "KELResMgr/ModuleState.h"
#include "KELResMgr/Package.h"
#include "KELResMgr/ResManager.h"
#include "KELResMgr/ResTrace.h"
#include "KELResMgr/net/InternetLibrary.h"
#include "platform/file_ops.h"
#include "platform/module_thread.h"
#include "platform/thread_id.h"

namespace kel {
namespace {

constexpr char kFn[] = "[DownloadResProc] ";

// One unit of the running-worker count, held while a worker runs. Atomic increment and
// decrement; the limit test reads the count without a lock, so the default ordering is enough.
class RunningWorker {
  public:
    explicit RunningWorker(std::atomic<int>& count) : count_(count) {
        const int now = ++count_;
        KEL_TRACE(kFn, "task number is %i", now);
    }
    ~RunningWorker() { --count_; }
    RunningWorker(const RunningWorker&) = delete;
    RunningWorker& operator=(const RunningWorker&) = delete;

  private:
    std::atomic<int>& count_;
};

std::string Piece(const std::string& text, std::size_t at) {
    return at < text.size() ? text.substr(at, 2) : std::string();
}

// Fetches the package into P. Any error on the way ends the fetch as a failure, and a file
// left half-written at P is removed with it.
int FetchPackage(DownloadTask& task) {
    try {
        const std::string server_path = ServerPath(task.remote_name);
        KEL_TRACE(kFn, "REMOTE-FILE is: %s", server_path.c_str());
        int result = task.manager->DownloadFileByHttp(server_path, task.package_path);
        if (!HasPackageSignature(task.package_path)) {
            KEL_TRACE(kFn, "DownloadResFile: %s [can not be downloaded]",
                      task.package_path.c_str());
            result = kWorkerNotAPackage;
            platform::SilentDelete(task.package_path);
        } else if (result != kWorkerOk) {
            // A transfer that failed part-way leaves a package that merely starts right; it
            // would only fail to unpack at the next request.
            platform::SilentDelete(task.package_path);
        }
        return result;
    } catch (...) {
        KEL_TRACE(kFn, "DownloadResFile: %s [exception on downloading]", task.remote_name.c_str());
        platform::SilentDelete(task.package_path);
        return kWorkerFetchRaised;
    }
}

// Unpacks the fetched package into folder, reading its body in place, and removes P.
int UnpackPackage(DownloadTask& task, const std::string& folder) {
    if (!IsValidPackage(task.package_path)) {
        return kWorkerOtherVersion;  // the file stays, as a request that found it would leave it
    }
    int result = kWorkerOk;
    if (!ExtractPackage(task.package_path, folder, kPackageBodyOffset)) {
        result = kWorkerExtractFailed;
        platform::SilentDelete(folder);
    }
    platform::SilentDelete(task.package_path);
    KEL_TRACE(kFn, "!@# %s", task.package_path.c_str());
    return result;
}

// Fetches and unpacks while holding one unit of the running count, and settles T's state on
// every way out: no identifier stays "downloading" after its worker.
int FetchAndUnpack(DownloadTask& task, const std::string& folder) {
    RunningWorker running(task.module->running_workers);
    int result = kWorkerRaised;
    try {
        result = FetchPackage(task);
        if (result == kWorkerOk) {
            result = UnpackPackage(task, folder);
        }
    } catch (...) {
        result = kWorkerRaised;
    }
    try {
        if (result == kWorkerOk) {
            task.module->states.Store(task.id, kStateDownloaded);
            KEL_TRACE(kFn, "DownloadResProc: downloading is ok. ->%s", task.id.c_str());
        } else {
            task.module->states.Store(task.id, kStateUnknown);
        }
    } catch (...) {
        // Storing into an existing entry cannot fail; a new one could only run out of memory.
    }
    return result;
}

// The window is told only once the resource is recorded as downloaded and this worker no longer
// counts against the limit: a host that answers the notification by asking again, for this
// resource or another, is served, not refused.
int RunDownload(DownloadTask& task) {
    const std::string folder = ResourcesFolder() + task.id + "_files";
    const int result = FetchAndUnpack(task, folder);
    if (result == kWorkerOk) {
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
    DownloadResProc(std::unique_ptr<DownloadTask>(static_cast<DownloadTask*>(raw_task)));
}

}  // namespace

std::string ServerPath(const std::string& remote_name) {
    return Piece(remote_name, 0) + "/" + Piece(remote_name, 2) + "/" + Piece(remote_name, 4) + "/" +
           Piece(remote_name, 6) + "/" + remote_name;
}

int DownloadResProc(std::unique_ptr<DownloadTask> task_record) noexcept {
    if (!task_record) {
        return kWorkerRaised;
    }
    // The worker keeps every field; the record itself goes at once.
    DownloadTask task = std::move(*task_record);
    task_record.reset();
    int result = kWorkerRaised;
    try {
        result = RunDownload(task);
    } catch (...) {  // only memory can run out before the state is settled
        try {
            task.module->states.Store(task.id, kStateUnknown);
        } catch (...) {
        }
    }
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
