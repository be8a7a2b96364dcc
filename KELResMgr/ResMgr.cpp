#include "KELResMgr/ResMgr.h"

#include <atomic>
#include <ctime>
#include <memory>

#include "KELResMgr/ModuleState.h"
#include "KELResMgr/ResTrace.h"

namespace kel {
namespace {

constexpr char kFn[] = "[CResMgrApp::InitInstance] ";

// Load and unload of the shared library: the module state is made before the application object
// starts and released after it has stopped. Releasing drops just the load's reference to the
// state, so download workers that still run keep theirs.
class ModuleLifetime {
  public:
    ModuleLifetime() : state_(CreateModuleState()) { app_.InitInstance(); }
    ~ModuleLifetime() { app_.ExitInstance(); }

  private:
    std::shared_ptr<ModuleState> state_;
    CResMgrApp app_;
};

// The lifetime object lives on the heap and is reached through an atomic pointer. A worker that
// runs past the host's unload unloads the library itself on its own thread, and the host may load
// it again at the same address: the loader orders the two, but only through its own lock, so
// nothing of the library's static storage is written at load and read at unload but atomically.
std::atomic<ModuleLifetime*> g_lifetime{nullptr};

__attribute__((constructor)) void LoadModule() {
    g_lifetime.store(std::make_unique<ModuleLifetime>().release(), std::memory_order_release);
}

__attribute__((destructor)) void UnloadModule() {
    std::unique_ptr<ModuleLifetime> lifetime(
        g_lifetime.exchange(nullptr, std::memory_order_acq_rel));
}

}  // namespace

bool CResMgrApp::InitInstance() {
    KEL_TRACE(kFn, "*****************************************************");
    char started[128] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr ||
        std::strftime(started, sizeof started, "\t\t%H:%M %A, %B %d, %Y", &local) == 0) {
        started[0] = '\0';
    }
    KEL_TRACE(kFn, "%s", started);
    return true;
}

// The state lock is a kel::Mutex (a std::mutex), which owns no system handle: there is nothing to
// close.
int CResMgrApp::ExitInstance() {
    return 0;
}

}  // namespace kel
