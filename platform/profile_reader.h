// Reading one key of an initialization file ("[section]" lines and "key=value" lines).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kel::platform {

// The value of key in section of the file at path. Section and key names match without regard
// to case; the value is the text after the first '=', without surrounding blanks and without one
// pair of enclosing quotes (double or single). A missing file, section or key gives
// default_value. The result is cut to buffer_size - 1 characters, as a buffer of buffer_size
// characters with its terminator would hold it. Never throws for a bad file.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_value, const std::string& path,
                                    std::size_t buffer_size);

}  // namespace kel::platform
