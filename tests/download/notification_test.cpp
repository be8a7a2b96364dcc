// The notification as a host receives it, and the receivers that stand in for windows.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KELResMgr.h"
#include "KELResMgr/download/HostNotification.h"
#include "harness/Receivers.h"
#if !defined(_WIN32)
#include "platform/receiver_handles.h"
#endif

namespace kel {
namespace {

struct Received {
    std::vector<std::uint8_t> payload;
    uintptr_t tag = 0;
    WPARAM wparam = 99;
    UINT message = 0;
    int count = 0;
};

LRESULT Record(void* context, HWND, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* received = static_cast<Received*>(context);
    const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
    const auto* bytes = static_cast<const std::uint8_t*>(copy->lpData);
    received->payload.assign(bytes, bytes + copy->cbData);
    received->tag = copy->dwData;
    received->wparam = wparam;
    received->message = message;
    ++received->count;
    return 1;
}

// A receiver that lives for one test.
class Receiver {
  public:
    explicit Receiver(KELRECEIVERPROC proc, void* context)
        : handle_(KelCreateReceiver(proc, context)) {}
    ~Receiver() { KelDestroyReceiver(handle_); }
    HWND handle() const { return handle_; }

  private:
    HWND handle_;
};

TEST(EchoMessage, PayloadIsDataThenPathThenNul) {
    Received received;
    Receiver window(Record, &received);
    const std::uint8_t data[6] = {1, 2, 0, 4, 5, 6};
    const std::string path(60, 'p');
    _SendEchoMsg(window.handle(), data, sizeof data, path);

    ASSERT_EQ(received.count, 1);
    EXPECT_EQ(received.message, WM_COPYDATA);
    EXPECT_EQ(received.tag, 1041u);
    EXPECT_EQ(received.wparam, 0u);
    ASSERT_EQ(received.payload.size(), 67u);
    EXPECT_EQ(std::memcmp(received.payload.data(), data, 6), 0);
    EXPECT_EQ(std::string(received.payload.begin() + 6, received.payload.end() - 1), path);
    EXPECT_EQ(received.payload.back(), 0);
}

TEST(EchoMessage, NoDataStartsWithThePath) {
    Received received;
    Receiver window(Record, &received);
    const std::uint8_t data[3] = {7, 7, 7};
    _SendEchoMsg(window.handle(), nullptr, 3, "/r/X_files");  // null data counts as empty
    ASSERT_EQ(received.count, 1);
    EXPECT_EQ(received.payload.size(), 11u);
    _SendEchoMsg(window.handle(), data, 0, "/r/X_files");
    ASSERT_EQ(received.count, 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(received.payload.data())), "/r/X_files");
}

TEST(EchoMessage, NullAndDestroyedWindowsGetNothing) {
    Received received;
    HWND handle = KelCreateReceiver(Record, &received);
    EXPECT_TRUE(IsWindow(handle));
    _SendEchoMsg(0, "x", 1, "/path");
    KelDestroyReceiver(handle);
    EXPECT_FALSE(IsWindow(handle));
    _SendEchoMsg(handle, "x", 1, "/path");
    EXPECT_EQ(received.count, 0);
    EXPECT_EQ(KelCreateReceiver(nullptr, nullptr), HWND{});
}

#if !defined(_WIN32)  // the platform library's receivers; on Windows the receivers are windows

// The sender waits for the procedure; destroying a receiver waits for a delivery in progress,
// and nothing reaches it afterwards.
TEST(Receivers, DestroyWaitsForTheDeliveryInProgress) {
    struct Slow {
        std::atomic<bool> entered{false};
        std::atomic<bool> finished{false};
        std::atomic<int> calls{0};
    } slow;
    auto proc = [](void* context, HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        auto* state = static_cast<Slow*>(context);
        ++state->calls;
        state->entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        state->finished = true;
        return 7;
    };
    HWND handle = KelCreateReceiver(proc, &slow);
    LRESULT answer = 0;
    std::thread sender([&] { answer = SendMessageA(handle, WM_COPYDATA, 0, 0); });
    while (!slow.entered) {
        std::this_thread::yield();
    }
    EXPECT_EQ(KelDestroyReceiver(handle), 1);
    EXPECT_TRUE(slow.finished);  // destroy returned only after the procedure had
    sender.join();
    EXPECT_EQ(answer, 7);
    EXPECT_EQ(SendMessageA(handle, WM_COPYDATA, 0, 0), 0);
    EXPECT_EQ(slow.calls.load(), 1);
    EXPECT_EQ(KelDestroyReceiver(handle), 0);
}

// Handles are never reused: a stale handle cannot reach a newer receiver.
TEST(Receivers, HandlesAreNotReused) {
    Received a, b;
    HWND first = KelCreateReceiver(Record, &a);
    KelDestroyReceiver(first);
    Receiver second(Record, &b);
    EXPECT_NE(first, second.handle());
    SendMessageA(first, WM_COPYDATA, 0, 0);
    EXPECT_EQ(b.count, 0);
}

// After 2^31 receivers the 32-bit counter wraps: it must never hand out the null handle, nor the
// handle of a receiver that is still alive (its messages would go to the new one).
TEST(Receivers, HandleCounterWraps) {
    using platform::ReceiverHandles;
    constexpr std::uint32_t kFirst = ReceiverHandles::kFirst;
    struct Row {
        const char* name;
        std::uint32_t last;
        std::set<std::uint32_t> live;
        std::uint32_t next;
    } rows[] = {
        {"in order", kFirst, {}, kFirst + 2},
        {"last handle before the wrap", 0xFFFFFFFCu, {}, 0xFFFFFFFEu},
        {"wrap skips 0", 0xFFFFFFFEu, {}, kFirst},
        {"wrap skips live handles", 0xFFFFFFFEu, {kFirst, kFirst + 2, kFirst + 6}, kFirst + 4},
        {"live handle right after the last", kFirst, {kFirst + 2}, kFirst + 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ReceiverHandles handles(row.last);
        EXPECT_EQ(handles.Next(row.live), row.next);
    }
}

// A procedure may destroy its own receiver, as a window may destroy itself.
TEST(Receivers, ProcedureMayDestroyItself) {
    auto proc = [](void*, HWND self, UINT, WPARAM, LPARAM) -> LRESULT {
        return KelDestroyReceiver(self);
    };
    HWND handle = KelCreateReceiver(proc, nullptr);
    EXPECT_EQ(SendMessageA(handle, WM_COPYDATA, 0, 0), 1);
    EXPECT_FALSE(IsWindow(handle));
}

#endif

}  // namespace
}  // namespace kel
