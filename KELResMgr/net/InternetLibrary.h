// The internet client's process-wide side, as one load of the library uses it.
#pragma once

namespace kel::net {

// Sets the client up for this load, if it needs that; safe to call again and from several
// threads. Called on a host's thread before a download worker starts: the set-up may leave
// per-thread state behind on the thread that runs it.
void PrepareInternetLibrary();

// Releases what the client set up for this load, if anything; called once, when this load's
// state goes away and no session is left.
void ReleaseInternetLibrary();

// While one lives on a thread, the internet handles that are released on that thread are left
// to the process instead of closed. The library's unload runs under the system's loader lock,
// where the internet client must not be called: closing a handle may wait for the client's own
// threads. The handles that go then are the download manager's session and connection, one
// pair per load. Threads: one at a time.
class UnloadScope {
  public:
    UnloadScope();
    ~UnloadScope();
    UnloadScope(const UnloadScope&) = delete;
    UnloadScope& operator=(const UnloadScope&) = delete;
};

}  // namespace kel::net
