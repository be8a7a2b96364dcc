// Receivers stand in for host windows: a registry, one per process, maps a 32-bit handle to a
// procedure and its context. Delivery is synchronous on the sending thread, and one delivery at a
// time reaches a receiver, as a window procedure runs on one thread.
#include <map>
#include <memory>
#include <mutex>

#include "KELResMgr.h"
#include "platform/annotated_mutex.h"
#include "platform/platform_api.h"
#include "platform/receiver_handles.h"

namespace {

// A std::recursive_mutex that the analysis sees as a lock. The analysis does not follow a
// procedure's call back into the registry, so a thread that takes it again there is not reported.
class KEL_CAPABILITY("mutex") RecursiveMutex {
  public:
    void Lock() KEL_ACQUIRE() { mutex_.lock(); }
    void Unlock() KEL_RELEASE() { mutex_.unlock(); }

  private:
    std::recursive_mutex mutex_;
};

// Holds a RecursiveMutex for its scope.
class KEL_SCOPED_CAPABILITY RecursiveLock {
  public:
    explicit RecursiveLock(RecursiveMutex& mutex) KEL_ACQUIRE(mutex) : mutex_(mutex) {
        mutex_.Lock();
    }
    ~RecursiveLock() KEL_RELEASE() { mutex_.Unlock(); }
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

  private:
    RecursiveMutex& mutex_;
};

struct Receiver {
    KELRECEIVERPROC proc;
    void* context;
    // Held for the whole of a delivery; destruction takes it to wait for one in progress.
    // Recursive, so that a procedure may send to itself or destroy its own receiver.
    RecursiveMutex delivery;
    bool alive KEL_GUARDED_BY(delivery) = true;
};

class Registry {
  public:
    HWND Add(KELRECEIVERPROC proc, void* context) KEL_EXCLUDES(mutex_) {
        auto receiver = std::make_shared<Receiver>();
        receiver->proc = proc;
        receiver->context = context;
        kel::MutexLock lock(mutex_);
        // Handles are not reused before the 32-bit counter wraps, so a stale handle does not
        // reach a newer receiver; after that, a live receiver's handle is never given out again.
        const HWND handle = handles_.Next(receivers_);
        if (handle == 0) {
            return 0;
        }
        receivers_.emplace(handle, std::move(receiver));
        return handle;
    }

    std::shared_ptr<Receiver> Find(HWND window) KEL_EXCLUDES(mutex_) {
        kel::MutexLock lock(mutex_);
        auto it = receivers_.find(window);
        return it == receivers_.end() ? nullptr : it->second;
    }

    std::shared_ptr<Receiver> Remove(HWND window) KEL_EXCLUDES(mutex_) {
        kel::MutexLock lock(mutex_);
        auto it = receivers_.find(window);
        if (it == receivers_.end()) {
            return nullptr;
        }
        auto receiver = std::move(it->second);
        receivers_.erase(it);
        return receiver;
    }

  private:
    kel::Mutex mutex_;
    kel::platform::ReceiverHandles handles_ KEL_GUARDED_BY(mutex_);
    std::map<HWND, std::shared_ptr<Receiver>> receivers_ KEL_GUARDED_BY(mutex_);
};

// Leaked on purpose: the library is never unloaded (linked with -z nodelete) and a worker thread
// may still send while the process exits.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

}  // namespace

extern "C" {

KELPLATFORM_API HWND KelCreateReceiver(KELRECEIVERPROC proc, void* context) {
    if (proc == nullptr) {
        return 0;
    }
    return TheRegistry().Add(proc, context);
}

KELPLATFORM_API int KelDestroyReceiver(HWND window) {
    auto receiver = TheRegistry().Remove(window);
    if (!receiver) {
        return 0;
    }
    RecursiveLock wait_for_delivery(receiver->delivery);
    receiver->alive = false;
    return 1;
}

KELPLATFORM_API int IsWindow(HWND window) {
    return TheRegistry().Find(window) ? 1 : 0;
}

KELPLATFORM_API LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto receiver = TheRegistry().Find(window);
    if (!receiver) {
        return 0;
    }
    RecursiveLock delivering(receiver->delivery);
    if (!receiver->alive) {
        return 0;
    }
    return receiver->proc(receiver->context, window, message, wParam, lParam);
}

}  // extern "C"
