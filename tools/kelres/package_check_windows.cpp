#include "tools/kelres/package_check.h"

namespace kel {

unsigned ThisPlatformClients() {
    return kWindowsClients;
}

}  // namespace kel
