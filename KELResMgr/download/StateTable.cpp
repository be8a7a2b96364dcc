#include "KELResMgr/download/StateTable.h"

#include <mutex>

namespace kel {

int ResStateTable::Lookup(const std::string& id) const {
    MutexLock lock(state_lock_);
    const auto it = states_.find(id);
    return it == states_.end() ? kStateUnknown : it->second;
}

void ResStateTable::Store(const std::string& id, int state) {
    MutexLock lock(state_lock_);
    states_[id] = state;
}

int ResStateTable::LookupAndClaim(const std::string& id) {
    MutexLock lock(state_lock_);
    auto [it, inserted] = states_.try_emplace(id, kStateDownloading);
    if (inserted) {
        return kStateUnknown;
    }
    const int found = it->second;
    if (found == kStateUnknown) {
        it->second = kStateDownloading;
    }
    return found;
}

}  // namespace kel
