#include "platform/durable.h"

namespace kel::platform {
namespace {

// Set by tests only (SetDurableStepHookForTests).
void (*g_durable_step_hook)(DurableStep step, const std::string& path) = nullptr;

}  // namespace

void SetDurableStepHookForTests(void (*hook)(DurableStep step, const std::string& path)) {
    g_durable_step_hook = hook;
}

void NoteDurableStep(DurableStep step, const std::string& path) noexcept {
    if (g_durable_step_hook != nullptr) {
        g_durable_step_hook(step, path);
    }
}

}  // namespace kel::platform
