#include "tools/kelres/package_check.h"

namespace kel {

unsigned ThisPlatformClients() {
    return kLinuxClients;
}

}  // namespace kel
