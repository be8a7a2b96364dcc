// libcurl's process-wide set-up, made for this load of the library at its first internet session.
#pragma once

namespace kel::net {

// Initialises libcurl once, at the first call; later calls return at once. Any thread. Deferred
// to first use because the set-up reads the TLS library's configuration file, and loading the
// library reads nothing from disk.
void EnsureCurlInitialised();

// Undoes EnsureCurlInitialised when it ran; called once, when this load's state goes away and
// no session is left.
void ReleaseCurl();

}  // namespace kel::net
