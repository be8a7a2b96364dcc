// When a transfer has been too slow: the stall, minimum-rate and deadline rules of the network
// layer, apart from any client library so that every backend applies the same ones.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "KELResMgr/net/Timeouts.h"

namespace kel::net {

// Watches one transfer. The caller reports what happens (the server reached, bytes received,
// the caller's own reads starting) and asks Check() in its wait loop. The rules:
// - nothing received for the stall time fails;
// - the final answer's headers must come within one stall window of the connect, however many
//   interim lines arrive meanwhile;
// - the body must bring min_bytes in every stall window while the caller waits for it;
// - nothing at all goes on past the deadline, when one is set.
// Time that the caller spends between its reads never counts against the server.
//
// Threads: one at a time, as the transfer it watches.
class TransferPace {
  public:
    using Clock = std::chrono::steady_clock;

    TransferPace(Milliseconds stall, std::size_t min_bytes);

    void SetDeadline(Clock::time_point deadline) { deadline_ = deadline; }
    // The server has been reached: the headers' window starts.
    void Connected(Clock::time_point now);
    // The caller waits again (a new read): the idle clock and the body window start afresh.
    void Resume(Clock::time_point now);
    // The final answer's headers are in: the body's first window starts (once).
    void HeadersDone(Clock::time_point now);
    // Bytes arrived; body bytes count towards the rate, header lines only as a sign of life.
    void Received(std::size_t bytes, bool body, Clock::time_point now);

    // Empty while the transfer may go on, else why it must stop. Starts a new body window when
    // one has passed at the required rate.
    std::optional<std::string> Check(Clock::time_point now);
    // How long the caller may wait before the next Check can decide anything; at most max_wait.
    Milliseconds NextCheckIn(Milliseconds max_wait, Clock::time_point now) const;

  private:
    Milliseconds stall_;
    std::size_t min_bytes_;
    std::optional<Clock::time_point> deadline_;
    std::optional<Clock::time_point> headers_due_;  // set at the connect
    bool body_ = false;                             // the final headers are in
    Clock::time_point last_byte_;
    Clock::time_point window_start_;
    std::size_t window_bytes_ = 0;
};

}  // namespace kel::net
