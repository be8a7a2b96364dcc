// Receivers stand in for host windows: a registry, one per process, maps a 32-bit handle to a
// procedure and its context. Delivery is synchronous on the sending thread, and one delivery at a
// time reaches a receiver, as a window procedure runs on one thread.
#include <map>
#include <memory>
#include <mutex>

#include "KELResMgr.h"
#include "platform/platform_api.h"

namespace {

struct Receiver {
    KELRECEIVERPROC proc;
    void* context;
    // Held for the whole of a delivery; destruction takes it to wait for one in progress.
    // Recursive, so that a procedure may send to itself or destroy its own receiver.
    std::recursive_mutex delivery;
    bool alive = true;  // guarded by delivery
};

class Registry {
  public:
    HWND Add(KELRECEIVERPROC proc, void* context) {
        auto receiver = std::make_shared<Receiver>();
        receiver->proc = proc;
        receiver->context = context;
        std::scoped_lock lock(mutex_);
        // Handles are never reused, so a stale handle can never reach a newer receiver.
        next_ += 2;
        receivers_.emplace(next_, std::move(receiver));
        return next_;
    }

    std::shared_ptr<Receiver> Find(HWND window) {
        std::scoped_lock lock(mutex_);
        auto it = receivers_.find(window);
        return it == receivers_.end() ? nullptr : it->second;
    }

    std::shared_ptr<Receiver> Remove(HWND window) {
        std::scoped_lock lock(mutex_);
        auto it = receivers_.find(window);
        if (it == receivers_.end()) {
            return nullptr;
        }
        auto receiver = std::move(it->second);
        receivers_.erase(it);
        return receiver;
    }

  private:
    std::mutex mutex_;
    HWND next_ = 0x10000;                                  // guarded by mutex_
    std::map<HWND, std::shared_ptr<Receiver>> receivers_;  // guarded by mutex_
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
    std::scoped_lock wait_for_delivery(receiver->delivery);
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
    std::scoped_lock delivering(receiver->delivery);
    if (!receiver->alive) {
        return 0;
    }
    return receiver->proc(receiver->context, window, message, wParam, lParam);
}

}  // extern "C"
