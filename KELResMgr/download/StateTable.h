// The download state of every identifier this load of the library has seen.
#pragma once

#include <string>
#include <unordered_map>

#include "platform/annotated_mutex.h"

namespace kel {

// Download states. Nothing else is ever stored.
enum ResState : int {
    kStateUnknown = -1,  // also the answer for an identifier never seen
    kStateDownloading = 1,
    kStateDownloaded = 2,    // a worker fetched and unpacked it
    kStateFolderOnDisk = 4,  // its unpacked folder was found on disk
};

// ResStateTable: identifier text -> state. Entries are never removed; forgetting one stores -1.
// Thread-safe: every operation takes StateLock for that one look-up or store, and nothing else is
// done while it is held.
class ResStateTable {
  public:
    int Lookup(const std::string& id) const KEL_EXCLUDES(state_lock_);
    void Store(const std::string& id, int state) KEL_EXCLUDES(state_lock_);
    // Look-up and claim in one locked step: returns the state found, and when it was unknown
    // stores kStateDownloading, so that of two requests racing for one identifier only the
    // first sees it unknown.
    int LookupAndClaim(const std::string& id) KEL_EXCLUDES(state_lock_);

  private:
    mutable Mutex state_lock_;  // StateLock
    std::unordered_map<std::string, int> states_ KEL_GUARDED_BY(state_lock_);
};

}  // namespace kel
