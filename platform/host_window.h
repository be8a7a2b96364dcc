// The host's window, as the library sends it a message: a window of the host's own on Windows,
// elsewhere a receiver of libKELPlatform.so that stands in for one.
#pragma once

#include <cstdint>

#include "KELResMgr.h"

namespace kel::platform {

// True while window names a window (a live receiver) that can be sent to. A null window is none.
bool IsHostWindow(HWND window);

// Sends WM_COPYDATA (wParam 0) with dwData tag and the size bytes at bytes to window, and returns
// when the receiver has handled it; a window that no longer exists gets nothing. The bytes belong
// to the caller and need to live only until the call returns. Any thread; the receiver runs on
// the window's thread (on Windows) or on the calling thread (elsewhere), so never call this with
// a lock held.
void SendCopyData(HWND window, std::uintptr_t tag, const void* bytes, std::uint32_t size);

}  // namespace kel::platform
