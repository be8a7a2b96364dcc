// The catalogue's handling of an answer: the status and the bytes of the body's one read become
// the reply, and the reply each export's result and the host's buffer contents. The buffers are
// exactly as large as the host says, so that a byte written past one shows at once.
//
// Input: two bytes of status (big-endian, modulo 1000; 0 for an answer without a status), one
// byte that picks a buffer size, then the body bytes as the read gave them.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "KELResMgr.h"
#include "KELResMgr/catalogue/CatalogueQueries.h"

namespace {

using kel::catalogue::QueryResult;

void Require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// GetResourceDescription's and GetResourceID's copies into a buffer of size bytes.
void CopyInto(const std::optional<QueryResult>& result, std::size_t size) {
    const auto buffer = std::make_unique<char[]>(std::max<std::size_t>(size, 1));
    const int length = kel::catalogue::DescriptionResult(result, size ? buffer.get() : nullptr,
                                                         static_cast<std::uint32_t>(size));
    Require(length >= 0 && static_cast<std::size_t>(length) <= kel::catalogue::kMaxReply);
    if (result->ok() && size > static_cast<std::size_t>(length)) {
        Require(buffer[length] == '\0');
    }
    const int code = kel::catalogue::ResourceIdResult(result, size ? buffer.get() : nullptr,
                                                      static_cast<std::int32_t>(size));
    Require(code == (result->ok() ? KELRES_CATALOGUE_OK : KELRES_CATALOGUE_REQUEST_FAILED));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const unsigned raw = (data[0] << 8 | data[1]) % 1000;
    const std::optional<long> status = raw != 0 ? std::optional<long>(raw) : std::nullopt;
    const std::size_t picked = data[2];
    const std::string_view body(reinterpret_cast<const char*>(data + 3), size - 3);

    const std::optional<QueryResult> result = kel::catalogue::ResultOfAnswer(status, body);
    Require(result->ok() == kel::catalogue::AnswerHasReply(status));
    Require(result->reply.size() <= kel::catalogue::kMaxReply);
    Require(result->reply.find('\0') == std::string::npos);
    Require(body.substr(0, result->reply.size()) == result->reply);

    for (const std::size_t buffer_size :
         {std::size_t{0}, std::size_t{1}, picked, result->reply.size(), result->reply.size() + 1,
          kel::catalogue::kMaxReply}) {
        CopyInto(result, buffer_size);
    }
    const int valid = kel::catalogue::ValidityCode(result);
    Require(valid == KELRES_CATALOGUE_OK || valid == KELRES_CATALOGUE_REPLY_NO ||
            valid == KELRES_CATALOGUE_REQUEST_FAILED);
    Require(!kel::catalogue::UpdateResult(result) || result->reply == "1");
    Require(result->ok() || kel::catalogue::StateResult(result) == 0);
    return 0;
}
