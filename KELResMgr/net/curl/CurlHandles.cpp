#include "KELResMgr/net/curl/CurlHandles.h"

#include "KELResMgr/net/InternetError.h"

namespace kel::net {

int InternetCode(int curl_code) {
    switch (static_cast<CURLcode>(curl_code)) {
        case CURLE_OK:
            return 0;
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_FTP_ACCEPT_TIMEOUT:
            return InternetError::kTimeout;
        case CURLE_COULDNT_CONNECT:
        case CURLE_FTP_ACCEPT_FAILED:
        case CURLE_FTP_CANT_GET_HOST:
            return InternetError::kCannotConnect;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return InternetError::kNameNotResolved;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return InternetError::kInvalidUrl;
        case CURLE_OUT_OF_MEMORY:
            return InternetError::kOutOfMemory;
        // The server refused what was asked, with an answer of its own.
        case CURLE_LOGIN_DENIED:
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_QUOTE_ERROR:
        case CURLE_UPLOAD_FAILED:
        case CURLE_FTP_COULDNT_RETR_FILE:
        case CURLE_REMOTE_FILE_NOT_FOUND:
        case CURLE_FTP_PORT_FAILED:
            return InternetError::kExtendedError;
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
            return InternetError::kConnectionAborted;
        case CURLE_SEND_ERROR:
            return InternetError::kConnectionReset;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_FTP_WEIRD_PASS_REPLY:
        case CURLE_FTP_WEIRD_PASV_REPLY:
        case CURLE_FTP_WEIRD_227_FORMAT:
        case CURLE_HTTP_RETURNED_ERROR:
            return InternetError::kInvalidServerResponse;
        case CURLE_ABORTED_BY_CALLBACK:
        case CURLE_WRITE_ERROR:
        case CURLE_READ_ERROR:
            return InternetError::kOperationCancelled;
        case CURLE_TOO_MANY_REDIRECTS:
            return InternetError::kRedirectFailed;
        default:
            return InternetError::kInternalError;
    }
}

InternetError CurlError(int curl_code, const std::string& message) {
    return InternetError(InternetCode(curl_code), message);
}

CurlEasy NewEasy() {
    CurlEasy easy(curl_easy_init());
    if (!easy) {
        throw CurlError(CURLE_OUT_OF_MEMORY, "cannot create a transfer: out of memory");
    }
    return easy;
}

void Append(CurlSlist& list, const char* text) {
    curl_slist* longer = curl_slist_append(list.get(), text);
    if (longer == nullptr) {
        throw CurlError(CURLE_OUT_OF_MEMORY, "cannot build a header list: out of memory");
    }
    list.release();  // now part of longer
    list.reset(longer);
}

std::string CurlErrorText(int code, const char* error_buffer) {
    if (error_buffer != nullptr && error_buffer[0] != '\0') {
        return error_buffer;
    }
    return curl_easy_strerror(static_cast<CURLcode>(code));
}

}  // namespace kel::net
