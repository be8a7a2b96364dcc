// Time-outs of the network layer.
//
// A client may wait for ever unless told otherwise; the layer sets limits of the kind a desktop
// internet client has by default, and the catalogue's own, shorter connect limit.
#pragma once

#include <chrono>
#include <cstddef>

namespace kel::net {

using Milliseconds = std::chrono::milliseconds;

// Connecting to a server (name look-up included) gives up after this.
inline constexpr Milliseconds kDefaultConnectTimeout{60000};
// A transfer that receives (or, uploading, sends) nothing for this long fails. The same span is
// an HTTP request's stall window: the final answer's headers must have come within one window
// of the connect (interim answers such as "100 Continue" do not count as progress), and the body
// must bring at least kMinBytesPerStallWindow in every window, so that a server that drips a
// byte now and then cannot hold a download slot for ever.
inline constexpr Milliseconds kStallTimeout{60000};
inline constexpr std::size_t kMinBytesPerStallWindow = 1024;
// The catalogue queries' connect limit, and how often a failed connect is tried again.
inline constexpr Milliseconds kCatalogueConnectTimeout{10000};
inline constexpr int kCatalogueConnectRetries = 1;
// A catalogue query's whole request (connects, retry, answer and reply) ends by then: its reply
// is a few bytes, and the host's thread waits for it.
inline constexpr Milliseconds kCatalogueDeadline{60000};

// For the test suite only: when this environment variable holds a positive number of
// milliseconds at the time a session opens, every time-out above is that long instead, so that
// tests of stalled servers end in seconds; the catalogue's deadline is kTestDeadlineScale times
// that long, so that it still leaves room for a retried connect, as it does in earnest. Not part
// of the library's interface.
inline constexpr char kTestTimeoutVariable[] = "KELRES_TEST_NET_TIMEOUT_MS";
inline constexpr int kTestDeadlineScale = 3;

// timeout, or the test suite's replacement for it times test_scale.
Milliseconds EffectiveTimeout(Milliseconds timeout, int test_scale = 1);

}  // namespace kel::net
