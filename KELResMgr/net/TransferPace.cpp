#include "KELResMgr/net/TransferPace.h"

#include <algorithm>

namespace kel::net {
namespace {

std::string InMs(Milliseconds span) {
    return std::to_string(span.count()) + " ms";
}

}  // namespace

TransferPace::TransferPace(Milliseconds stall, std::size_t min_bytes)
    : stall_(stall), min_bytes_(min_bytes) {
    Resume(Clock::now());
}

void TransferPace::Connected(Clock::time_point now) {
    headers_due_ = now + stall_;
    Resume(now);
}

void TransferPace::Resume(Clock::time_point now) {
    last_byte_ = now;
    window_start_ = now;
    window_bytes_ = 0;
}

void TransferPace::HeadersDone(Clock::time_point now) {
    if (!body_) {
        body_ = true;
        window_start_ = now;
        window_bytes_ = 0;
    }
}

void TransferPace::Received(std::size_t bytes, bool body, Clock::time_point now) {
    last_byte_ = now;
    if (body) {
        window_bytes_ += bytes;
    }
}

std::optional<std::string> TransferPace::Check(Clock::time_point now) {
    if (deadline_ && now >= *deadline_) {
        return "no complete answer in the time allowed";
    }
    if (!headers_due_) {
        return std::nullopt;  // still connecting: the connect has its own limit
    }
    if (now - last_byte_ >= stall_) {
        return "no data for " + InMs(stall_);
    }
    if (!body_) {
        if (now >= *headers_due_) {
            return "no final answer within " + InMs(stall_) + " of the connect";
        }
        return std::nullopt;
    }
    if (now - window_start_ >= stall_) {
        if (window_bytes_ < min_bytes_) {
            return "fewer than " + std::to_string(min_bytes_) + " bytes in " + InMs(stall_);
        }
        window_start_ = now;
        window_bytes_ = 0;
    }
    return std::nullopt;
}

Milliseconds TransferPace::NextCheckIn(Milliseconds max_wait, Clock::time_point now) const {
    Clock::time_point next = now + max_wait;
    if (deadline_) {
        next = std::min(next, *deadline_);
    }
    if (headers_due_) {
        next =
            std::min({next, last_byte_ + stall_, body_ ? window_start_ + stall_ : *headers_due_});
    }
    const auto wait = std::chrono::ceil<Milliseconds>(next - now);
    return std::clamp(wait, Milliseconds(0), max_wait);
}

}  // namespace kel::net
