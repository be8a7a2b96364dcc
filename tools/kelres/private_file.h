// A file that only its owner may read: the publisher's private key.
#pragma once

#include <string>

namespace kel::tool {

// Creates path anew (never replacing a file already there) with permissions for its owner only
// (Linux: mode 0600; Windows: a protected access list granting the owner alone), writes text and
// flushes it. Throws CommandError naming the file.
void WritePrivateFile(const std::string& path, const std::string& text);

}  // namespace kel::tool
