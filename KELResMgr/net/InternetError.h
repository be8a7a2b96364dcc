// The network layer's error: a code and a message for the trace.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace kel::net {

// Raised by sessions, connections and requests when a transfer fails. code() is libcurl's
// CURLcode, or kExtendedError when the server answered with a refusal (the message is then the
// server's answer).
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

// The text of a libcurl result: the transfer's own error text when it has one (error_buffer),
// else libcurl's text for the code.
std::string CurlErrorText(int code, const char* error_buffer);

}  // namespace kel::net
