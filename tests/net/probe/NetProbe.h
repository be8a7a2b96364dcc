// A test-only module: the library's inner code with entry points that reach the shared download
// manager, loaded like the library itself so that it reads the settings file beside its own file.
#pragma once

extern "C" {
// CResManager::DownloadFileByHttp of the module's shared instance, its body kept at local_path:
// 0, or the failure's code (102 internet, 120 no server, 121 status, 122 local file); -1 when it
// raised.
int ProbeDownload(const char* remote_path, const char* local_path);
// The shared instance's session and connection, null until made.
const void* ProbeSession();
const void* ProbeConnection();
void ProbeSetTestMode(bool on);
}

using PFN_ProbeDownload = decltype(&ProbeDownload);
using PFN_ProbeSession = decltype(&ProbeSession);
using PFN_ProbeConnection = decltype(&ProbeConnection);
using PFN_ProbeSetTestMode = decltype(&ProbeSetTestMode);
