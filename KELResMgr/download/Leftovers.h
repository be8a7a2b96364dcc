// What processes that ended left in a folder the library writes into: the part files of their
// transfers and the staging folders of their extractions, told from live ones by their owners'
// locks, never by their age.
#pragma once

#include <string>
#include <string_view>

namespace kel {

// Removes from folder (ending with a separator) every part file of a package ("<T>.tsl.part-" and
// 8 hex digits, see PartFile) and every staging folder of a resource folder ("<T>_files_tmp-" and
// 8 hex digits, see StagingFolder) that no process holds: its maker has ended, and nothing else
// would ever name it. With id given, only those of the identifier id. Whatever is held, and
// anything of another name or kind (a link, a folder under a part file's name), stays; so does
// everything on a file system without locks. Never throws: what cannot be removed stays.
void ReclaimLeftovers(const std::string& folder, std::string_view id = {}) noexcept;

}  // namespace kel
