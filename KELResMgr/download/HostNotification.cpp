#include "KELResMgr/download/HostNotification.h"

#include <cstring>

#include "KELResMgr/base/ResTrace.h"
#include "platform/host_window.h"

namespace kel {
namespace {

constexpr char kFn[] = "[_SendEchoMsg] ";

// The handle's number, for the trace: a 32-bit number here, a pointer-sized one on Windows.
[[maybe_unused]] unsigned HandleNumber(std::uint32_t window) {
    return window;
}
[[maybe_unused]] unsigned HandleNumber(const void* window) {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(window));
}

}  // namespace

std::vector<std::uint8_t> BuildEchoPayload(const void* data, std::uint32_t data_size,
                                           const std::string& folder_path) {
    if (data == nullptr) {
        data_size = 0;
    }
    std::vector<std::uint8_t> payload(data_size + folder_path.size() + 1);
    if (data_size > 0) {
        std::memcpy(payload.data(), data, data_size);
    }
    std::memcpy(payload.data() + data_size, folder_path.data(), folder_path.size());
    payload.back() = 0;
    return payload;
}

void _SendEchoMsg(HWND window, const void* data, std::uint32_t data_size,
                  const std::string& folder_path) {
    if (window == 0) {
        return;
    }
    const std::vector<std::uint8_t> payload = BuildEchoPayload(data, data_size, folder_path);
    KEL_TRACE(kFn, "send msg to mgr begin");
    KEL_TRACE(kFn, "target window handle is %08X", HandleNumber(window));
    if (!platform::IsHostWindow(window)) {
        KEL_TRACE(kFn, "but the handle is invalid.");
    }
    platform::SendCopyData(window, KELRES_NOTIFY_TAG, payload.data(),
                           static_cast<std::uint32_t>(payload.size()));
    KEL_TRACE(kFn, "send msg to mgr end");
}

}  // namespace kel
