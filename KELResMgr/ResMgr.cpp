#include "KELResMgr/ResMgr.h"

#include <ctime>
#include <memory>

#include "KELResMgr/ModuleState.h"
#include "KELResMgr/ResTrace.h"

namespace kel {
namespace {

constexpr char kFn[] = "[CResMgrApp::InitInstance] ";

// Load and unload of the shared library: the module state is made before the application object
// starts and released after it has stopped. The only object with static storage whose
// destructor matters; it releases just the load's reference to the state, so download workers
// that still run keep theirs.
class ModuleLifetime {
  public:
    ModuleLifetime() : state_(CreateModuleState()) { app_.InitInstance(); }
    ~ModuleLifetime() { app_.ExitInstance(); }

  private:
    std::shared_ptr<ModuleState> state_;
    CResMgrApp app_;
};

ModuleLifetime g_lifetime;

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

// The state lock is a std::mutex, which owns no system handle: there is nothing to close.
int CResMgrApp::ExitInstance() {
    return 0;
}

}  // namespace kel
