// CResMgrApp, the application object: the library's start-up at load and shut-down at unload.
#pragma once

namespace kel {

class CResMgrApp {
  public:
    // Start-up, once at load before any export can run: two trace records, always succeeds.
    bool InitInstance();
    // Shut-down, once at unload after the last export call has returned.
    int ExitInstance();
};

}  // namespace kel
