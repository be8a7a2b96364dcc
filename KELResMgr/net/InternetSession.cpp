#include "KELResMgr/net/InternetSession.h"

#include "KELResMgr/net/CurlLibrary.h"
#include "KELResMgr/net/InternetError.h"

namespace kel::net {

// libcurl is set up before the first share handle of this load is made.
InternetSession::InternetSession()
    : share_((EnsureCurlInitialised(), curl_share_init())),
      connect_timeout_(EffectiveTimeout(kDefaultConnectTimeout)),
      stall_timeout_(EffectiveTimeout(kStallTimeout)) {
    if (!share_) {
        throw InternetError(CURLE_OUT_OF_MEMORY, "cannot open an internet session: out of memory");
    }
    CURLSH* share = share_.get();
    const bool ok =
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &InternetSession::Lock) == CURLSHE_OK &&
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &InternetSession::Unlock) == CURLSHE_OK &&
        curl_share_setopt(share, CURLSHOPT_USERDATA, this) == CURLSHE_OK &&
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK;
    if (!ok) {
        throw InternetError(CURLE_FAILED_INIT, "cannot open an internet session: no shared cache");
    }
}

void InternetSession::Configure(CURL* easy) const {
    curl_easy_setopt(easy, CURLOPT_SHARE, share_.get());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect_timeout_.count()));
}

std::mutex& InternetSession::LockFor(curl_lock_data data) noexcept {
    // libcurl passes only values below CURL_LOCK_DATA_LAST; the remainder keeps any other value
    // inside the array, on the same lock for Lock and Unlock.
    return locks_[static_cast<std::size_t>(data) % locks_.size()];
}

void InternetSession::Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) noexcept {
    static_cast<InternetSession*>(self)->LockFor(data).lock();
}

void InternetSession::Unlock(CURL*, curl_lock_data data, void* self) noexcept {
    static_cast<InternetSession*>(self)->LockFor(data).unlock();
}

}  // namespace kel::net
