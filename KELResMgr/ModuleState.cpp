#include "KELResMgr/ModuleState.h"

#include "KELResMgr/net/InternetLibrary.h"

namespace kel {
namespace {

// A plain pointer: it has no destructor that could run while a worker still uses the state.
// After unload it keeps pointing at the state while workers that still run keep it alive through
// their own references; the state resets it as it is destroyed.
std::atomic<ModuleState*> g_state{nullptr};

}  // namespace

ModuleState::ModuleState() = default;
ModuleState::~ModuleState() = default;

// Resets the pointer only while it names this state: unit tests and probes make several states,
// one after another.
ModuleState::Unpublish::~Unpublish() {
    auto* expected = const_cast<ModuleState*>(owner);
    g_state.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

ModuleState::LibraryRelease::~LibraryRelease() {
    net::ReleaseInternetLibrary();
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
