// CResMgrApp, the application object: the library's start-up at load and shut-down at unload.
#include "KELResMgr/ResMgr.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "KELResMgr/ModuleState.h"
#include "KELResMgr/base/ResTrace.h"
#include "KELResMgr/net/InternetLibrary.h"
#include "platform/clock.h"
#include "platform/module_hooks.h"

namespace kel {
namespace {

constexpr char kFn[] = "[CResMgrApp::InitInstance] ";

constexpr const char* kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};
constexpr const char* kMonths[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};

// Load and unload of the library: the module state is made before the application object
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

}  // namespace

void OnModuleLoad() {
    g_lifetime.store(std::make_unique<ModuleLifetime>().release(), std::memory_order_release);
}

void OnModuleUnload() {
    // The state may go now, under the loader lock: its internet handles are left to the process.
    const net::UnloadScope unload;
    std::unique_ptr<ModuleLifetime> lifetime(
        g_lifetime.exchange(nullptr, std::memory_order_acq_rel));
}

bool CResMgrApp::InitInstance() {
    KEL_TRACE(kFn, "*****************************************************");
    char started[128] = "";
    const platform::LocalTime now = platform::LocalTimeNow();
    if (now.month >= 1 && now.month <= 12 && now.weekday >= 0 && now.weekday <= 6) {
        std::snprintf(started, sizeof started, "\t\t%02d:%02d %s, %s %02d, %04d", now.hour,
                      now.minute, kWeekdays[now.weekday], kMonths[now.month - 1], now.day,
                      now.year);
    }
    KEL_TRACE(kFn, "%s", started);
    return true;
}

// The state lock is a kel::Mutex (an SRW lock on Windows, a std::mutex elsewhere), which owns
// no system handle: there is nothing to close.
int CResMgrApp::ExitInstance() {
    return 0;
}

}  // namespace kel
