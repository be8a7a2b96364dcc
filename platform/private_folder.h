// A folder of the current user under the system temporary folder, that no other user controls.
#pragma once

#include <string>
#include <string_view>

namespace kel::platform {

struct UserTempFolder {
    std::string path;      // empty when no folder could be had at all
    std::string rejected;  // why the shared name was not used; empty when it was
};

// "<temporary folder><name>-<uid>", created (mode 0700) when missing, when it is a real folder
// (not a link to one), owned by the current user and not writable by group or others. Otherwise
// a new private folder "<temporary folder><name>-<uid>-XXXXXX" is made for the caller alone, and
// rejected says what was wrong with the shared one. Another user may have made the shared name
// first and planted folders and links in it; such a folder is never used.
UserTempFolder MakeUserTempFolder(std::string_view name);

// Removes path when it is an empty folder; anything else is left alone.
void RemoveEmptyFolder(const std::string& path);

}  // namespace kel::platform
