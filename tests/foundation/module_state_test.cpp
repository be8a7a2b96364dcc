// The module state's lifetime as the trace facility sees it, and the frame of the exports.
#include <gtest/gtest.h>

#include <stdexcept>

#include "KELResMgr/ExportGuard.h"
#include "KELResMgr/ModuleState.h"
#include "harness/TempFolder.h"

namespace kel {
namespace {

using test::ReadFile;
using test::ScopedEnv;
using test::TempFolder;

// A trace written after the state is gone (by a worker that outlived the unload, say) must find
// no state rather than the destroyed one.
TEST(ModuleState, GoneOnceDestroyed) {
    auto state = CreateModuleState();
    EXPECT_EQ(ModuleStateIfAlive(), state.get());
    state.reset();
    EXPECT_EQ(ModuleStateIfAlive(), nullptr);
}

// An exception that escapes an export becomes its failure value, and its text reaches the trace.
TEST(ExportGuard, TracesTheEscapedException) {
    TempFolder logs;
    const std::string log = logs / "trace.log";
    ScopedEnv trace("KELRES_TRACE", log);
    auto state = CreateModuleState();
    EXPECT_EQ(
        Guarded("[Export] ", 7,
                []() -> int { throw std::runtime_error("cannot open catalogue: disk gone"); }),
        7);
    EXPECT_EQ(Guarded("[Export] ", std::string("failed"), []() -> std::string { throw 42; }),
              "failed");
    EXPECT_EQ(Guarded("[Export] ", 7, [] { return 1; }), 1);
    state.reset();
    const auto text = ReadFile(log);
    ASSERT_TRUE(text.has_value());
    EXPECT_NE(text->find("[Export] Res<<< "), std::string::npos) << *text;
    EXPECT_NE(text->find("cannot open catalogue: disk gone"), std::string::npos) << *text;
    // Without a state (before load, after unload) the failure value still comes back.
    EXPECT_EQ(Guarded("[Export] ", 7, []() -> int { throw std::bad_alloc(); }), 7);
}

}  // namespace
}  // namespace kel
