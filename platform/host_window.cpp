// One body for both platforms: KELResMgr.h gives IsWindow and SendMessageA from <windows.h> on
// Windows, and from libKELPlatform.so elsewhere, whose receivers' registry is one per process
// (posix/window_messages.cpp) so that every loaded copy of the library reaches the host's
// receivers. On Windows SendMessageA waits for the window's thread to handle the message: a host's
// window thread must pump messages while downloads run.
#include "platform/host_window.h"

namespace kel::platform {

bool IsHostWindow(HWND window) {
    return IsWindow(window) != 0;
}

void SendCopyData(HWND window, std::uintptr_t tag, const void* bytes, std::uint32_t size) {
    COPYDATASTRUCT copy_data{};
    copy_data.dwData = tag;
    copy_data.cbData = size;
    copy_data.lpData = const_cast<void*>(bytes);  // the receiver only reads it
    SendMessageA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy_data));
}

}  // namespace kel::platform
