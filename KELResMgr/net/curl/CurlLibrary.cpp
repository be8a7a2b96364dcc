#include "KELResMgr/net/curl/CurlLibrary.h"

#include <curl/curl.h>

#include <atomic>
#include <mutex>

namespace kel::net {
namespace {

// Trivially destructible: nothing here is torn down while a worker may still run.
std::once_flag g_initialise_once;
std::atomic<bool> g_initialised{false};

}  // namespace

void EnsureCurlInitialised() {
    std::call_once(g_initialise_once,
                   [] { g_initialised.store(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK); });
}

void PrepareInternetLibrary() {
    EnsureCurlInitialised();
}

// Undoes EnsureCurlInitialised when it ran.
void ReleaseInternetLibrary() {
    if (g_initialised.exchange(false)) {
        curl_global_cleanup();
    }
}

// libcurl's handles may be cleaned up anywhere.
UnloadScope::UnloadScope() = default;
UnloadScope::~UnloadScope() = default;

}  // namespace kel::net
