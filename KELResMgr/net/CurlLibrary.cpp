#include "KELResMgr/net/CurlLibrary.h"

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

void ReleaseCurl() {
    if (g_initialised.exchange(false)) {
        curl_global_cleanup();
    }
}

}  // namespace kel::net
