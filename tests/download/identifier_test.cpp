// Identifier text and server paths: a wrong digit here fetches or unpacks another resource.
#include <gtest/gtest.h>

#include <optional>

#include "KELResMgr/base/ResId.h"
#include "KELResMgr/download/DownloadWorker.h"

namespace kel {
namespace {

ResID MakeId(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
             std::uint32_t number) {
    return ResID{{b0, b1, b2, b3}, number};
}

TEST(ResIdText, FollowsTheRecordNotA64BitNumber) {
    struct Row {
        const char* name;
        ResID id;
        const char* text;
    } rows[] = {
        {"example", MakeId(0x0A, 0x1B, 0x2C, 0x3D, 0x0000ABCD), "0A1B2C3D0000ABCD"},
        {"zero", MakeId(0, 0, 0, 0, 0), "0000000000000000"},
        {"bytes in memory order", MakeId(1, 2, 3, 4, 0x05060708), "0102030405060708"},
        {"upper case", MakeId(0xab, 0xcd, 0xef, 0xff, 0xdeadbeef), "ABCDEFFFDEADBEEF"},
        {"not reserved", MakeId(0xFF, 0xFF, 0xFF, 0xFF, 0xFFFFFFFD), "FFFFFFFFFFFFFFFD"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ResIdText(row.id), row.text);
    }
}

TEST(ResIdText, ReservedIdentifiers) {
    EXPECT_TRUE(IsReservedResId(ResIdText(MakeId(0xFF, 0xFF, 0xFF, 0xFF, 0xFFFFFFFF))));
    EXPECT_TRUE(IsReservedResId(ResIdText(MakeId(0xFF, 0xFF, 0xFF, 0xFF, 0xFFFFFFFE))));
    EXPECT_FALSE(IsReservedResId("FFFFFFFFFFFFFFFD"));
    EXPECT_FALSE(IsReservedResId("ffffffffffffffff"));  // exact and case-sensitive
    EXPECT_FALSE(IsReservedResId(""));
}

// Short names keep every separator so the server path always has four folder levels.
TEST(ServerPath, FourLevelsThenTheName) {
    struct Row {
        const char* remote;
        const char* path;
    } rows[] = {
        {"0A1B2C3D0000ABCD.tsl", "0A/1B/2C/3D/0A1B2C3D0000ABCD.tsl"},
        {"AB.tsl", "AB/.t/sl//AB.tsl"},
        {"A", "A////A"},
        {"", "////"},
        {"ABCDEFG", "AB/CD/EF/G/ABCDEFG"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.remote);
        EXPECT_EQ(ServerPath(row.remote), row.path);
    }
}

// Asking a success for its cause is the caller's fault, raised instead of reading no cause.
TEST(WorkerResult, ASuccessHasNoCause) {
    EXPECT_THROW(static_cast<void>(WorkerResult().cause()), std::bad_optional_access);
    EXPECT_EQ(WorkerResult(WorkerFailure::kFetch).cause(), WorkerFailure::kFetch);
}

}  // namespace
}  // namespace kel
