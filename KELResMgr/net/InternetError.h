// The network layer's error: a code and a message for the trace.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace kel::net {

// Raised by sessions, connections and requests when a transfer fails. code() is the
// implementation's error code (libcurl's CURLcode, WinInet's error number), or kExtendedError when
// the server answered with a refusal (the message is then the server's answer).
class InternetError : public std::runtime_error {
  public:
    static constexpr std::size_t kMaxMessage = 1023;  // characters, terminator excluded
    static constexpr int kExtendedError = 12003;

    // message is cut to kMaxMessage characters.
    InternetError(int code, const std::string& message);
    int code() const { return code_; }
    const char* message() const { return what(); }

  private:
    int code_;
};

}  // namespace kel::net
