// The state table under contention: two requests for one identifier must never both claim it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "KELResMgr/download/StateTable.h"

namespace kel {
namespace {

TEST(ResStateTable, LookupStoreAndClaim) {
    ResStateTable table;
    EXPECT_EQ(table.Lookup("A"), kStateUnknown);
    EXPECT_EQ(table.LookupAndClaim("A"), kStateUnknown);
    EXPECT_EQ(table.Lookup("A"), kStateDownloading);
    EXPECT_EQ(table.LookupAndClaim("A"), kStateDownloading);
    table.Store("A", kStateUnknown);  // forgetting stores -1
    EXPECT_EQ(table.LookupAndClaim("A"), kStateUnknown);
    table.Store("A", kStateDownloaded);
    EXPECT_EQ(table.LookupAndClaim("A"), kStateDownloaded);
    EXPECT_EQ(table.Lookup("A"), kStateDownloaded);  // a claim never overwrites a final state
    EXPECT_EQ(table.Lookup("a"), kStateUnknown);     // keys are case-sensitive
}

TEST(ResStateTable, OneClaimPerIdentifierUnderContention) {
    ResStateTable table;
    constexpr int kThreads = 16;
    constexpr int kIds = 50;
    std::atomic<int> claims{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIds; ++i) {
                if (table.LookupAndClaim("ID" + std::to_string(i)) == kStateUnknown) {
                    ++claims;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(claims.load(), kIds);
}

}  // namespace
}  // namespace kel
