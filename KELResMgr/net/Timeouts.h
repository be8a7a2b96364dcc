// Time-outs of the network layer.
//
// libcurl waits for ever unless told otherwise; the layer sets limits of the kind a desktop
// internet client has by default, and the catalogue's own, shorter connect limit.
#pragma once

#include <chrono>

namespace kel::net {

using Milliseconds = std::chrono::milliseconds;

// Connecting to a server (name look-up included) gives up after this.
inline constexpr Milliseconds kDefaultConnectTimeout{60000};
// A transfer that receives (or, uploading, sends) nothing for this long fails.
inline constexpr Milliseconds kStallTimeout{60000};
// The catalogue queries' connect limit, and how often a failed connect is tried again.
inline constexpr Milliseconds kCatalogueConnectTimeout{10000};
inline constexpr int kCatalogueConnectRetries = 1;

// For the test suite only: when this environment variable holds a positive number of
// milliseconds at the time a session opens, every time-out above is that long instead, so that
// tests of stalled servers end in seconds. Not part of the library's interface.
inline constexpr char kTestTimeoutVariable[] = "KELRES_TEST_NET_TIMEOUT_MS";

// timeout, or the test suite's replacement for it.
Milliseconds EffectiveTimeout(Milliseconds timeout);

}  // namespace kel::net
