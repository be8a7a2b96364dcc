// The folder one extraction writes into before its result takes the target's name.
#pragma once

#include <string>
#include <string_view>

#include "platform/owner_lock.h"

namespace kel {

// A fresh, empty folder beside the target, this extraction's own: target + "_tmp-" + 8 random
// hex digits, created exclusively. Two extractions of one resource (two processes sharing the
// resources folder) never write into each other's folder, and no extraction starts with what
// a failed one left. Ends in exactly one of two ways: installed under the target's name, or
// removed with everything in it (by the destructor, which reports nothing). Used by one thread.
// From its creation until it is installed or removed, the folder is held with a
// platform::OwnerLock, which tells other processes (and the reclaim of leftovers,
// ReclaimLeftovers) that its extraction is alive.
class StagingFolder {
  public:
    // Throws platform::FileError when no such folder can be made.
    explicit StagingFolder(const std::string& target);
    ~StagingFolder();
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    const std::string& path() const { return path_; }

    // Gives the folder the target's name, and makes the rename durable (the caller has made the
    // folder's contents durable first). True when the target is then installed: renamed, or
    // a folder already stands at the target (another extraction of the same resource finished
    // first: it is the same resource, and this copy is removed). False when the rename failed
    // and no folder is there; the staging folder goes with the object then.
    bool Install();

  private:
    std::string target_;
    std::string path_;
    platform::OwnerLock lock_;
    bool installed_ = false;
};

// True for the names of the folders StagingFolder makes: target_name + "_tmp-" + 8 hex digits,
// where target_name is, when given, that name.
bool IsStagingFolderName(std::string_view name, std::string_view target_name = {});

}  // namespace kel
