#include "KELResMgr/net/InternetSession.h"

#include <curl/curl.h>

#include <array>
#include <cstddef>
#include <mutex>

#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/curl/ClientAccess.h"
#include "KELResMgr/net/curl/CurlHandles.h"
#include "KELResMgr/net/curl/CurlLibrary.h"

namespace kel::net {

struct InternetSession::Shared {
    // One lock per kind of shared data; libcurl takes them through Lock and Unlock.
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
    CurlShare share;  // after locks: destroyed first
};

namespace {

using Locks = std::array<std::mutex, CURL_LOCK_DATA_LAST>;

// Raise nothing into libcurl: the index cannot leave the array, and a mutex that cannot be
// locked ends the process (noexcept) rather than unwinding through libcurl's frames.
std::mutex& LockFor(void* locks, curl_lock_data data) noexcept {
    // libcurl passes only values below CURL_LOCK_DATA_LAST; the remainder keeps any other value
    // inside the array, on the same lock for Lock and Unlock.
    Locks& all = *static_cast<Locks*>(locks);
    return all[static_cast<std::size_t>(data) % all.size()];
}

void Lock(CURL*, curl_lock_data data, curl_lock_access, void* locks) noexcept {
    LockFor(locks, data).lock();
}

void Unlock(CURL*, curl_lock_data data, void* locks) noexcept {
    LockFor(locks, data).unlock();
}

}  // namespace

// libcurl is set up before the first share handle of this load is made.
InternetSession::InternetSession() : shared_(std::make_unique<Shared>()) {
    EnsureCurlInitialised();
    shared_->share.reset(curl_share_init());
    if (!shared_->share) {
        throw CurlError(CURLE_OUT_OF_MEMORY, "cannot open an internet session: out of memory");
    }
    CURLSH* share = shared_->share.get();
    const bool ok = curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Lock) == CURLSHE_OK &&
                    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Unlock) == CURLSHE_OK &&
                    curl_share_setopt(share, CURLSHOPT_USERDATA, &shared_->locks) == CURLSHE_OK &&
                    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK;
    if (!ok) {
        throw CurlError(CURLE_FAILED_INIT, "cannot open an internet session: no shared cache");
    }
}

InternetSession::~InternetSession() = default;

void InternetSession::SetConnectRetries(int retries) {
    connect_retries_ = retries;
}

void InternetSession::SetConnectTimeout(Milliseconds timeout) {
    connect_timeout_ = EffectiveTimeout(timeout);
}

void InternetSession::SetTotalTimeout(Milliseconds timeout) {
    total_timeout_ = EffectiveTimeout(timeout, kTestDeadlineScale);
}

CURLSH* ClientAccess::Share(const InternetSession& session) {
    return session.shared_->share.get();
}

void ConfigureTransfer(const InternetSession& session, CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_SHARE, ClientAccess::Share(session));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(session.connect_timeout().count()));
}

}  // namespace kel::net
