// Reading one key of an initialization file ("[section]" lines and "key=value" lines).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kel::platform {

// The value of key in section of the file at path. Section and key names match without regard
// to case; the value is the text after the first '=', without surrounding blanks and without one
// pair of enclosing quotes (double or single). A missing file, section or key gives
// default_value, and so does a path that names no regular file (a folder, a named pipe, a
// device): such a path is never opened for reading, so that nothing waits on it. The result is
// cut to buffer_size - 1 characters, as a buffer of buffer_size characters with its terminator
// would hold it. Lines end at "\n", "\r" or "\r\n". A UTF-8 byte-order mark at the start of the
// file is skipped; after a UTF-16 one (either byte order) the text is read as UTF-16 and the
// value given in UTF-8. The file is read one line at a time into a buffer of kMaxProfileLine
// characters (of that 8-bit text): a longer line is skipped whole (it can hold no sound key), and
// skipped_long_line, when given, is set. Never throws for a bad file. On Windows this is
// GetPrivateProfileStringA, whose own rules for encodings and long lines apply;
// skipped_long_line is then always false.
inline constexpr std::size_t kMaxProfileLine = 64 * 1024;
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_value, const std::string& path,
                                    std::size_t buffer_size, bool* skipped_long_line = nullptr);

}  // namespace kel::platform
