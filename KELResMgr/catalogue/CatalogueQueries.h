// The catalogue queries: one HTTP GET each to the catalogue web service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "KELResMgr/base/Result.h"

namespace kel::catalogue {

int GetResourceDescription(const char* input, const char* author, char* buffer,
                           uint32_t buffer_size);
bool UpdateResourceDescription(const char* input, const char* description, const char* author);
int GetResIDState(const char* resource_id);
int GetResourceID(const char* input, const char* author, char* buffer, int32_t buffer_size);
int ValidResID(const char* resource_id, const char* author);
int InvalidResID(const char* resource_id);

// Why a catalogue request has no reply.
enum class QueryFailure {
    kRequest,  // it could not be sent, or its answer not read
    kStatus,   // the status was 400 or more, or unreadable
};

// The outcome of one catalogue request.
struct QueryResult {
    Result<QueryFailure> outcome = QueryFailure::kRequest;
    std::string reply;  // when ok: at most kMaxReply bytes, up to the first zero byte

    bool ok() const { return outcome.ok(); }
};

inline constexpr std::size_t kMaxReply = 1024;

// The error code that the trace gives a failed request: 8 for kStatus; 0 for kRequest, whose
// failure has no code of its own.
int TracedErrorCode(const QueryResult& result);

// One GET of object_name (page and query, no leading '/') from host at the port that port_text
// starts with (no digits: the protocol's default). Opens and closes its own session; raises
// nothing but failures to allocate. The whole request ends within kCatalogueDeadline.
QueryResult QueryWebService(const std::string& host, const std::string& port_text,
                            const std::string& object_name);

// The answer's handling, apart from the network: whether an answer with this status has a reply
// to read, and the result of an answer whose one read of the body gave body.
bool AnswerHasReply(std::optional<long> status);
QueryResult ResultOfAnswer(std::optional<long> status, std::string_view body);

// Each export's result from its request's outcome (nullopt: no catalogue server configured).
// The buffers are the host's, as the exports take them.
int DescriptionResult(const std::optional<QueryResult>& result, char* buffer, uint32_t buffer_size);
bool UpdateResult(const std::optional<QueryResult>& result);
int StateResult(const std::optional<QueryResult>& result);
int ResourceIdResult(const std::optional<QueryResult>& result, char* buffer, int32_t buffer_size);
int ValidityCode(const std::optional<QueryResult>& result);

}  // namespace kel::catalogue
