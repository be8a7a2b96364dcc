// The network layer's error: a code and a message for the trace.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace kel::net {

// Raised by sessions, connections and requests when a transfer fails. code() is one number per
// kind of failure, the same on every platform and whichever client ran the transfer (each client
// maps its own failures onto these); kExtendedError when the server answered with a refusal (the
// message is then the server's answer).
class InternetError : public std::runtime_error {
  public:
    static constexpr std::size_t kMaxMessage = 1023;  // characters, terminator excluded
    static constexpr int kOutOfMemory = 8;
    static constexpr int kTimeout = 12002;
    static constexpr int kExtendedError = 12003;
    static constexpr int kInternalError = 12004;
    static constexpr int kInvalidUrl = 12005;
    static constexpr int kNameNotResolved = 12007;
    static constexpr int kOperationCancelled = 12017;
    static constexpr int kCannotConnect = 12029;
    static constexpr int kConnectionAborted = 12030;
    static constexpr int kConnectionReset = 12031;
    static constexpr int kInvalidServerResponse = 12152;
    static constexpr int kRedirectFailed = 12156;

    // message is cut to kMaxMessage characters.
    InternetError(int code, const std::string& message);
    int code() const { return code_; }
    const char* message() const { return what(); }

  private:
    int code_;
};

}  // namespace kel::net
