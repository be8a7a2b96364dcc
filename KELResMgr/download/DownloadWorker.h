// The background half of a download: the task a request hands over, and the worker that fetches,
// checks, unpacks and notifies.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "KELResMgr.h"
#include "KELResMgr/base/Result.h"

namespace kel {

class ModuleState;
class CResManager;

// Why a download did not end with its resource unpacked and notified.
enum class WorkerFailure {
    kFetch,          // the fetch failed (its trace says why)
    kCannotKeep,     // a package of another version could not take its name (a folder stands)
    kExtractFailed,  // the archive could not be unpacked
    kNotAPackage,    // after the fetch there is no file with the package signature
    kFetchRaised,    // the fetch ended with an error (e.g. the local file failed)
    kOtherVersion,   // a package of another format version; the file stays
    kRaised,         // an unexpected error ended the worker
};

using WorkerResult = Result<WorkerFailure>;

// One unit of the running-worker count, taken by a request before its worker starts, so that
// requests racing for the last unit cannot both have it, and given back when the worker's work
// is done, or with the task when the worker never runs. Move-only; used by one thread at a time.
class WorkerSlot {
  public:
    WorkerSlot() = default;
    // A unit when fewer than limit are taken (an atomic test and raise); an empty slot otherwise.
    static WorkerSlot TakeBelow(std::atomic<int>& count, int limit);
    // A unit whatever the count: a download in wait mode is not limited, but counts.
    static WorkerSlot Take(std::atomic<int>& count);
    ~WorkerSlot() { Release(); }
    WorkerSlot(WorkerSlot&& other) noexcept : count_(std::exchange(other.count_, nullptr)) {}
    WorkerSlot& operator=(WorkerSlot&& other) noexcept;
    WorkerSlot(const WorkerSlot&) = delete;
    WorkerSlot& operator=(const WorkerSlot&) = delete;

    explicit operator bool() const { return count_ != nullptr; }
    void Release() noexcept;

  private:
    explicit WorkerSlot(std::atomic<int>& count) : count_(&count) {}
    std::atomic<int>* count_ = nullptr;
};

// Handed from a request to its worker, which takes it over whole. The data block is the
// request's private copy of the host's bytes.
struct DownloadTask {
    std::shared_ptr<ModuleState> module;  // keeps the state table and the manager alive
    CResManager* manager = nullptr;       // the shared download manager, owned by module
    std::string remote_name;              // R = T + ".tsl"
    std::string package_path;             // P = F + T + ".tsl"
    std::string id;                       // T
    HWND window = 0;
    std::vector<std::uint8_t> data;
    WorkerSlot slot;  // a unit of module->running_workers; given back before module is let go
};

// The worker: runs one download to its end and settles T's state (2, or -1 on every failure)
// and the running-worker count, whatever happens. Never throws. Called on the request's thread
// in wait mode, and as the body of a detached worker thread otherwise, whose result nobody reads.
WorkerResult DownloadResProc(std::unique_ptr<DownloadTask> task) noexcept;

// Starts DownloadResProc on a new detached thread. False, with the task released, when no
// thread could be started.
bool StartDownloadWorker(std::unique_ptr<DownloadTask> task);

}  // namespace kel
