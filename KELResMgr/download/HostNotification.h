// The one message the library sends to its host: a resource's unpacked folder is ready.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KELResMgr.h"

namespace kel {

// The WM_COPYDATA payload: the host's data block, the folder path, one NUL byte.
std::vector<std::uint8_t> BuildEchoPayload(const void* data, std::uint32_t data_size,
                                           const std::string& folder_path);

// Sends WM_COPYDATA (wParam 0, dwData KELRES_NOTIFY_TAG) with that payload to window and
// returns when the receiver has handled it. A null window sends nothing. A receiver that no
// longer exists gets nothing. The payload is released when the send returns. Any thread; never
// called with a lock held.
void _SendEchoMsg(HWND window, const void* data, std::uint32_t data_size,
                  const std::string& folder_path);

}  // namespace kel
