#include "KELResMgr/CatalogueQueries.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

#include "KELResMgr/Config.h"
#include "KELResMgr/ResTrace.h"
#include "KELResMgr/net/HttpRequest.h"
#include "KELResMgr/net/InternetError.h"
#include "KELResMgr/net/InternetSession.h"
#include "KELResMgr/net/Timeouts.h"

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

// The catalogue server's host, empty when none is configured.
std::string CatalogueHost() {
    return ReadConfig(config::kUpload, config::kWsUrl, "");
}

std::string CataloguePort() {
    std::string port = ReadConfig(config::kUpload, config::kWsHttpPort, config::kDefaultWsHttpPort);
    return port.empty() ? config::kDefaultWsHttpPort : port;
}

// Whether the reply says "no": empty, or exactly "0".
int ValidityCode(const QueryResult& result) {
    if (!result.ok) {
        return 2;
    }
    return result.reply.empty() || result.reply == "0" ? 3 : 0;
}

}  // namespace

QueryResult QueryWebService(const std::string& host, const std::string& port_text,
                            const std::string& object_name) {
    QueryResult result;
    try {
        // Closed in reverse order on every path: request, connection, session.
        net::InternetSession session;
        session.SetConnectRetries(net::kCatalogueConnectRetries);
        session.SetConnectTimeout(net::kCatalogueConnectTimeout);
        const net::HttpConnection connection(session, host, ParseLeadingNumber(port_text));
        net::HttpRequest request(connection, object_name, net::kNoAutoRedirect);
        request.Send();
        const std::optional<long> status = request.StatusCode();
        if (!status || *status >= 400) {
            result.error_code = kStatusError;
            return result;  // the body is not read
        }
        // One read: a longer reply is cut, and a shorter read counts as the whole reply.
        char buffer[kMaxReply] = {};
        const std::size_t got = request.Read(buffer, sizeof buffer);
        result.reply.assign(buffer, strnlen(buffer, got));
        result.ok = true;
    } catch (const net::InternetError&) {
        // The request failed; the error code stays as it was.
    }
    return result;
}

int GetResourceDescription(const char* input, const char* author, char* buffer,
                           uint32_t buffer_size) {
    constexpr char kFn[] = "[GetResourceDescription] ";
    KEL_TRACE(kFn, kBegin);
    const std::string object =
        "GetResourceDescription.asp?input=" + Arg(input) + "&author=" + Arg(author);
    const std::string host = CatalogueHost();
    if (host.empty()) {
        KEL_TRACE(kFn, kNoUrl);
        return 0;
    }
    const QueryResult result = QueryWebService(host, CataloguePort(), object);
    KEL_TRACE(kFn, kEndOneBlank);
    if (!result.ok) {
        return 0;
    }
    const std::size_t length = result.reply.size();
    if (buffer != nullptr) {
        // With its terminator when it fits; else exactly buffer_size bytes.
        std::memcpy(buffer, result.reply.c_str(), std::min<std::size_t>(length + 1, buffer_size));
    }
    return static_cast<int>(length);
}

bool UpdateResourceDescription(const char* input, const char* description, const char* author) {
    constexpr char kFn[] = "[UpdateResourceDescription] ";
    KEL_TRACE(kFn, kBegin);
    const std::string object = "UpdateResourceDescription.asp?input=" + Arg(input) +
                               "&description=" + Arg(description) + "&author=" + Arg(author);
    const std::string host = CatalogueHost();
    if (host.empty()) {
        KEL_TRACE(kFn, kNoUrl);
        return false;
    }
    const QueryResult result = QueryWebService(host, CataloguePort(), object);
    if (!result.ok) {
        KEL_TRACE(kFn, kEndOneBlank);
        return false;
    }
    return result.reply == "1";
}

int GetResIDState(const char* resource_id) {
    constexpr char kFn[] = "[GetResIDState] ";
    KEL_TRACE(kFn, kBegin);
    const std::string object = "getresourceidstate.asp?resourceid=" + Arg(resource_id);
    const std::string host = CatalogueHost();
    if (host.empty()) {
        KEL_TRACE(kFn, kNoUrl);
        return 0;
    }
    const QueryResult result = QueryWebService(host, CataloguePort(), object);
    KEL_TRACE(kFn, kEndTwoBlanks);
    if (!result.ok) {
        KEL_TRACE(kFn, kFailedValue, result.error_code);
        return 0;
    }
    const long value = ParseLeadingNumber(result.reply);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

int GetResourceID(const char* input, const char* author, char* buffer, int32_t buffer_size) {
    constexpr char kFn[] = "[GetResourceID] ";
    KEL_TRACE(kFn, kBegin);
    const std::string object = "GetResourceID.asp?input=" + Arg(input) + "&author=" + Arg(author);
    const std::string host = CatalogueHost();
    if (host.empty()) {
        KEL_TRACE(kFn, kNoUrl);
        return 1;
    }
    const QueryResult result = QueryWebService(host, CataloguePort(), object);
    KEL_TRACE(kFn, kEndTwoBlanks);
    if (!result.ok) {
        KEL_TRACE(kFn, kFailedValue, result.error_code);
        return 2;
    }
    if (buffer != nullptr && buffer_size > 0) {
        // As strncpy: the rest of the buffer zeroed, no terminator when the reply fills it.
        const auto size = static_cast<std::size_t>(buffer_size);
        const std::size_t copied = std::min(size, result.reply.size());
        std::memcpy(buffer, result.reply.data(), copied);
        std::memset(buffer + copied, 0, size - copied);
    }
    return 0;
}

int ValidResID(const char* resource_id, const char* author) {
    constexpr char kFn[] = "[ValidResID] ";
    KEL_TRACE(kFn, kBegin);
    const std::string object =
        "validresourceid.asp?resourceid=" + Arg(resource_id) + "&author=" + Arg(author);
    const std::string host = CatalogueHost();
    if (host.empty()) {
        KEL_TRACE(kFn, kNoUrl);
        return 1;
    }
    const QueryResult result = QueryWebService(host, CataloguePort(), object);
    KEL_TRACE(kFn, kEndTwoBlanks);
    if (!result.ok) {
        KEL_TRACE(kFn, kFailedValue, result.error_code);
    }
    return ValidityCode(result);
}

int InvalidResID(const char* resource_id) {
    constexpr char kFn[] = "[InvalidResID] ";
    KEL_TRACE(kFn, kBegin);
    const std::string object = "invalidresourceid.asp?resourceid=" + Arg(resource_id);
    const std::string host = CatalogueHost();
    if (host.empty()) {
        KEL_TRACE(kFn, kNoUrl + 1);  // this one is written without the leading blank
        return 1;
    }
    const QueryResult result = QueryWebService(host, CataloguePort(), object);
    KEL_TRACE(kFn, kEndTwoBlanks);
    if (!result.ok) {
        KEL_TRACE(kFn, kFailedValue, result.error_code);
    }
    return ValidityCode(result);
}

}  // namespace kel::catalogue
