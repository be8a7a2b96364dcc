// The background half of a download: the task a request hands over, and the worker that fetches,
// checks, unpacks and notifies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KELResMgr.h"

namespace kel {

class ModuleState;
class CResManager;

// Worker results. 0 and the fetch's own codes (102, 120, 121, 122) come from the download
// itself; the others are the worker's.
enum WorkerResult : int {
    kWorkerOk = 0,             // fetched; a version-1 package was also unpacked and notified
    kWorkerCopyFailed = 3,     // the package body could not be copied for unpacking
    kWorkerExtractFailed = 4,  // the archive could not be unpacked
    kWorkerNotAPackage = 17,   // after the fetch there is no file with the package signature
    kWorkerFetchRaised = 18,   // the fetch ended with an error (e.g. the local file failed)
    kWorkerOtherVersion = 19,  // a package of another format version; the file stays
    kWorkerRaised = 20,        // an unexpected error ended the worker
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
};

// R[0..1]/R[2..3]/R[4..5]/R[6..7]/R, each piece clamped to R's length, no leading '/'.
std::string ServerPath(const std::string& remote_name);

// Runs one download to its end and settles T's state (2, or -1 on every failure) and the
// running-worker count, whatever happens. Never throws.
int DownloadResProc(std::unique_ptr<DownloadTask> task) noexcept;

// Starts DownloadResProc on a new detached thread. False, with the task released, when no
// thread could be started.
bool StartDownloadWorker(std::unique_ptr<DownloadTask> task);

}  // namespace kel
