// libcurl's process-wide set-up, made for this load of the library at its first internet session.
#pragma once

#include "KELResMgr/net/InternetLibrary.h"

namespace kel::net {

// Initialises libcurl once, at the first call; later calls return at once. Any thread. Deferred
// to first use because the set-up reads the TLS library's configuration file, and loading the
// library reads nothing from disk.
void EnsureCurlInitialised();

}  // namespace kel::net
