// Writing the files of an unpacked archive without trusting what is already on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace kel::platform {

// True when path is a folder itself, not a link or another redirection to one.
bool IsRealFolder(const std::string& path);

// How the bytes of a name given to the calls below are read.
enum class NameText {
    kSystem,  // 8-bit text: in the ANSI code page on Windows, bytes as they are elsewhere
    kUtf8,    // UTF-8: converted to UTF-16 for the wide calls on Windows, bytes elsewhere
};

// False for one level of an archive's entry name (not empty, not ".", no separator) that the
// file system would not store under that very name.
//  - Windows: a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension,
//    any case) opens the device instead of a file; ':' opens a stream of another file; a
//    trailing dot or blank is dropped, so the name would land on another one ("..." or ". ."
//    on the parent folder); control characters and <>"|?* are not file names.
//    On Windows the rule is applied to the name the system is given, after the conversion of
//    text; a name that does not convert (not valid UTF-8, no character of the code page) or
//    that converts to a separator is not storable either.
//  - elsewhere: every such level is a file name.
bool IsStorableName(std::string_view level, NameText text = NameText::kSystem);

// Whether the file system takes names that differ in case only for one name (Windows: NTFS and
// the system's own look-ups), so that the extraction spells each such name as the first entry
// did (FirstSpellings in KELResMgr/zip/NameRules.h) and treats it as a repeated name, as the
// package check predicts, whatever the volume itself folds. False elsewhere: names are bytes.
extern const bool kNamesIgnoreCase;

// The name as UTF-8, as the system reads it: on Windows 8-bit text as the ANSI file calls read
// it, in the ANSI code page; elsewhere the bytes as they are. Nothing when it does not convert.
std::optional<std::string> NameAsUtf8(std::string_view name, NameText text);

// An open folder that files and folders are made in by name, one level at a time, relative to
// the folder itself: whatever is renamed, removed or put in the place of its path meanwhile (a
// link, a junction), what is made through it lies in this very folder, and no name it is given
// is followed when it is a link. Move-only; the destructor closes it. Used by one thread at a
// time. Each call takes the full path of what it opens too, for messages only.
//  - Windows: the path limits of the ANSI file calls hold (a folder path of at most MAX_PATH - 12
//    characters, a file path of fewer than MAX_PATH), counted in UTF-16 units, as the system
//    counts them, of the path that the folder was opened at and the names given since.
//  - Windows: the folder is held open without sharing its deletion, so it cannot be renamed or
//    removed while it is open.
class Folder {
  public:
    Folder() = default;
    ~Folder();
    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    // Opens the folder at path. Throws std::invalid_argument unless it is a folder itself (a
    // link or junction to one is refused), FileError when it cannot be opened.
    static Folder Open(const std::string& path);

    // Opens the folder called name (one level) in this one, creating it when missing. Throws
    // std::invalid_argument when the name is taken by anything but a folder itself (a file, a
    // link, a junction), FileError when it cannot be made or opened.
    Folder OpenOrCreateFolder(std::string_view name, NameText text, const std::string& path) const;

    // Creates the file called name in this folder as a new file for writing. A file or link
    // already of that name is removed first, so that nothing is ever written through a link to a
    // file elsewhere. Throws FileError when the name is taken by a folder or the file cannot be
    // made.
    File CreateFresh(std::string_view name, NameText text, const std::string& path) const;

    void Close() noexcept;

  private:
    // A file descriptor, or a Windows handle; -1 when there is none.
    using Handle = std::intptr_t;
    static constexpr Handle kNoHandle = -1;

    Folder(Handle handle, std::size_t path_units) : handle_(handle), path_units_(path_units) {}
    Handle handle_ = kNoHandle;
    std::size_t path_units_ = 0;  // Windows: the length of the folder's path in UTF-16 units
};

// Closes an extracted file and gives it its entry's time and attributes: the last-write time
// (modified, seconds since 1970 UTC) and the 32-bit Windows attribute word of the entry.
//  - Windows: creation and last-access time become now, the last-write time the entry's, and
//    the whole attribute word is set (a word with bits the system refuses is ignored, as it
//    still leaves a usable file), through the open file, before it closes.
//  - elsewhere: there is no attribute word or creation time; the modification time becomes the
//    entry's, the read-only bit (0x01) removes every write permission, and the other bits
//    (hidden, system, archive, a Unix mode in the high half) are ignored, so that an archive can
//    never make a file executable or set-id. Both go through the open file, before it closes:
//    no path look-up per entry.
// Throws FileError when the time cannot be set or the close fails.
void CloseWithEntryTimeAndAttributes(File& output, std::int64_t modified, std::uint32_t attributes);

// How many folders of its staging tree an extraction keeps open, besides those of the entry at
// hand, so that each is opened and checked once: many on Windows, where a handle costs little and
// opening a folder costs several calls (and under Wine server round trips); a few elsewhere, where
// descriptors are a limited resource of the host's process (1,024 by default) shared by every
// extraction at once, and opening a folder costs one call.
extern const std::size_t kFoldersKeptOpen;

}  // namespace kel::platform
