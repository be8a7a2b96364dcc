// The six catalogue queries: one HTTP GET each to the catalogue web service.
#pragma once

#include <cstdint>
#include <string>

namespace kel::catalogue {

int GetResourceDescription(const char* input, const char* author, char* buffer,
                           uint32_t buffer_size);
bool UpdateResourceDescription(const char* input, const char* description, const char* author);
int GetResIDState(const char* resource_id);
int GetResourceID(const char* input, const char* author, char* buffer, int32_t buffer_size);
int ValidResID(const char* resource_id, const char* author);
int InvalidResID(const char* resource_id);

// The outcome of one catalogue request.
struct QueryResult {
    bool ok = false;
    std::string reply;   // at most kMaxReply bytes, up to the first zero byte
    int error_code = 0;  // kStatusError when the status was 400 or more or unreadable
};

inline constexpr std::size_t kMaxReply = 1024;
inline constexpr int kStatusError = 8;

// One GET of object_name (page and query, no leading '/') from host at the port that port_text
// starts with (no digits: the protocol's default). Opens and closes its own session; raises
// nothing but failures to allocate.
QueryResult QueryWebService(const std::string& host, const std::string& port_text,
                            const std::string& object_name);

}  // namespace kel::catalogue
