#include "KELResMgr/catalogue/CatalogueQueries.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>

#include "KELResMgr.h"
#include "KELResMgr/base/ResTrace.h"
#include "KELResMgr/net/HttpRequest.h"
#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/InternetSession.h"
#include "KELResMgr/net/Timeouts.h"
#include "KELResMgr/settings/Config.h"

namespace kel::catalogue {
namespace {

constexpr char kBegin[] = "****** begin ****** ";
constexpr char kEndOneBlank[] = "****** end ****** ";
constexpr char kEndTwoBlanks[] = "******  end ****** ";
constexpr char kNoUrl[] = " failed to get url from ini file";
constexpr char kFailedValue[] = "failed return value: %i";

// An argument as the host gave it; a null one counts as empty.
std::string Arg(const char* text) {
    return text != nullptr ? text : "";
}

}  // namespace

bool AnswerHasReply(std::optional<long> status) {
    return status && *status < 400;
}

int TracedErrorCode(const QueryResult& result) {
    return !result.ok() && result.outcome.cause() == QueryFailure::kStatus ? 8 : 0;
}

QueryResult ResultOfAnswer(std::optional<long> status, std::string_view body) {
    QueryResult result;
    if (!AnswerHasReply(status)) {
        result.outcome = QueryFailure::kStatus;
        return result;
    }
    body = body.substr(0, kMaxReply);
    result.reply.assign(body.substr(0, body.find('\0')));
    result.outcome = {};
    return result;
}

QueryResult QueryWebService(const std::string& host, const std::string& port_text,
                            const std::string& object_name) {
    QueryResult result;
    try {
        // Closed in reverse order on every path: request, connection, session.
        net::InternetSession session;
        session.SetConnectRetries(net::kCatalogueConnectRetries);
        session.SetConnectTimeout(net::kCatalogueConnectTimeout);
        session.SetTotalTimeout(net::kCatalogueDeadline);
        const net::HttpConnection connection(session, host, ParseLeadingNumber(port_text));
        net::HttpRequest request(connection, object_name, net::kNoAutoRedirect);
        request.Send();
        const std::optional<long> status = request.StatusCode();
        if (!AnswerHasReply(status)) {
            return ResultOfAnswer(status, {});  // the body is not read
        }
        // One read: a longer reply is cut, and a shorter read counts as the whole reply.
        char buffer[kMaxReply];
        const std::size_t got = request.Read(buffer, sizeof buffer);
        return ResultOfAnswer(status, std::string_view(buffer, got));
    } catch (const net::InternetError&) {
        // The request failed: a failure without a code of its own.
    }
    return result;
}

namespace {

// How an export frames its request in the trace: its function tag, its not-configured message,
// and which end record it writes.
struct Frame {
    enum End {
        kEndOneBlank,           // "****** end ****** " after every request
        kEndOneBlankOnFailure,  // the same, only after a failed request
        kEndTwoBlanks,          // "******  end ****** ", then the failure's error code
    };
    const char* function_tag;
    End end;
    const char* no_url = kNoUrl;
};

// The frame shared by the catalogue exports around one request; nullopt when no catalogue server is
// configured (nothing is sent then).
std::optional<QueryResult> Query(const Frame& frame, const std::string& object_name) {
    KEL_TRACE(frame.function_tag, kBegin);
    const ConfigReader settings;  // the server and its port under one test mode
    const std::string host = settings.Read(config::kUpload, config::kWsUrl, "");
    if (host.empty()) {
        KEL_TRACE(frame.function_tag, "%s", frame.no_url);
        return std::nullopt;
    }
    std::string port =
        settings.Read(config::kUpload, config::kWsHttpPort, config::kDefaultWsHttpPort);
    if (port.empty()) {
        port = config::kDefaultWsHttpPort;
    }
    QueryResult result = QueryWebService(host, port, object_name);
    switch (frame.end) {
        case Frame::kEndOneBlank:
            KEL_TRACE(frame.function_tag, kEndOneBlank);
            break;
        case Frame::kEndOneBlankOnFailure:
            if (!result.ok()) {
                KEL_TRACE(frame.function_tag, kEndOneBlank);
            }
            break;
        case Frame::kEndTwoBlanks:
            KEL_TRACE(frame.function_tag, kEndTwoBlanks);
            if (!result.ok()) {
                KEL_TRACE(frame.function_tag, kFailedValue, TracedErrorCode(result));
            }
            break;
    }
    return result;
}

}  // namespace

int DescriptionResult(const std::optional<QueryResult>& result, char* buffer,
                      uint32_t buffer_size) {
    if (!result || !result->ok()) {
        return 0;
    }
    const std::size_t length = result->reply.size();
    if (buffer != nullptr) {
        // With its terminator when it fits; else exactly buffer_size bytes.
        std::memcpy(buffer, result->reply.c_str(), std::min<std::size_t>(length + 1, buffer_size));
    }
    return static_cast<int>(length);
}

bool UpdateResult(const std::optional<QueryResult>& result) {
    return result && result->ok() && result->reply == "1";
}

int StateResult(const std::optional<QueryResult>& result) {
    if (!result || !result->ok()) {
        return 0;
    }
    return static_cast<int>(std::clamp<long>(ParseLeadingNumber(result->reply), INT_MIN, INT_MAX));
}

int ResourceIdResult(const std::optional<QueryResult>& result, char* buffer, int32_t buffer_size) {
    if (!result) {
        return KELRES_CATALOGUE_NOT_CONFIGURED;
    }
    if (!result->ok()) {
        return KELRES_CATALOGUE_REQUEST_FAILED;
    }
    if (buffer != nullptr && buffer_size > 0) {
        // As strncpy: the rest of the buffer zeroed, no terminator when the reply fills it.
        const auto size = static_cast<std::size_t>(buffer_size);
        const std::size_t copied = std::min(size, result->reply.size());
        std::memcpy(buffer, result->reply.data(), copied);
        std::memset(buffer + copied, 0, size - copied);
    }
    return KELRES_CATALOGUE_OK;
}

int ValidityCode(const std::optional<QueryResult>& result) {
    if (!result) {
        return KELRES_CATALOGUE_NOT_CONFIGURED;
    }
    if (!result->ok()) {
        return KELRES_CATALOGUE_REQUEST_FAILED;
    }
    return result->reply.empty() || result->reply == "0" ? KELRES_CATALOGUE_REPLY_NO
                                                         : KELRES_CATALOGUE_OK;
}

int GetResourceDescription(const char* input, const char* author, char* buffer,
                           uint32_t buffer_size) {
    return DescriptionResult(
        Query({"[GetResourceDescription] ", Frame::kEndOneBlank},
              "GetResourceDescription.asp?input=" + Arg(input) + "&author=" + Arg(author)),
        buffer, buffer_size);
}

bool UpdateResourceDescription(const char* input, const char* description, const char* author) {
    return UpdateResult(Query({"[UpdateResourceDescription] ", Frame::kEndOneBlankOnFailure},
                              "UpdateResourceDescription.asp?input=" + Arg(input) +
                                  "&description=" + Arg(description) + "&author=" + Arg(author)));
}

int GetResIDState(const char* resource_id) {
    return StateResult(Query({"[GetResIDState] ", Frame::kEndTwoBlanks},
                             "getresourceidstate.asp?resourceid=" + Arg(resource_id)));
}

int GetResourceID(const char* input, const char* author, char* buffer, int32_t buffer_size) {
    return ResourceIdResult(
        Query({"[GetResourceID] ", Frame::kEndTwoBlanks},
              "GetResourceID.asp?input=" + Arg(input) + "&author=" + Arg(author)),
        buffer, buffer_size);
}

int ValidResID(const char* resource_id, const char* author) {
    return ValidityCode(
        Query({"[ValidResID] ", Frame::kEndTwoBlanks},
              "validresourceid.asp?resourceid=" + Arg(resource_id) + "&author=" + Arg(author)));
}

int InvalidResID(const char* resource_id) {
    // This one's not-configured message has no leading blank.
    return ValidityCode(Query({"[InvalidResID] ", Frame::kEndTwoBlanks, kNoUrl + 1},
                              "invalidresourceid.asp?resourceid=" + Arg(resource_id)));
}

}  // namespace kel::catalogue
