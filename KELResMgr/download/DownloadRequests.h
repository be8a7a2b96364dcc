// Download requests: answer from the state table and the disk, or start a download.
#pragma once

#include <cstdint>
#include <string>

#include "KELResMgr.h"

namespace kel {

std::string DownloadResFileEx(const std::string& name, HWND window, const void* data,
                              uint32_t data_size, bool wait);
std::string DownloadResFile(const ResID* id, HWND window, const void* data, uint32_t data_size);

}  // namespace kel
