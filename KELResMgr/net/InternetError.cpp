#include "KELResMgr/net/InternetError.h"

namespace kel::net {

InternetError::InternetError(int code, const std::string& message)
    : std::runtime_error(message.substr(0, kMaxMessage)), code_(code) {}

}  // namespace kel::net
