#include "KELResMgr/ModuleState.h"

#include "KELResMgr/net/CurlLibrary.h"

namespace kel {
namespace {

// A plain pointer: it has no destructor that could run while a worker still uses the state. It
// keeps pointing at the state after unload: workers that still run reach it through Module()
// while their own references keep it alive, and once they have ended no module code runs.
std::atomic<ModuleState*> g_state{nullptr};

}  // namespace

ModuleState::ModuleState() = default;
ModuleState::~ModuleState() = default;

ModuleState::CurlRelease::~CurlRelease() {
    net::ReleaseCurl();
}

ModuleState& Module() {
    return *g_state.load(std::memory_order_acquire);
}

std::shared_ptr<ModuleState> ModuleRef() {
    return Module().shared_from_this();
}

const ModuleState* ModuleStateIfAlive() {
    return g_state.load(std::memory_order_acquire);
}

std::shared_ptr<ModuleState> CreateModuleState() {
    auto state = std::make_shared<ModuleState>();
    g_state.store(state.get(), std::memory_order_release);
    return state;
}

}  // namespace kel
