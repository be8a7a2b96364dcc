// Entry names as the file systems of the clients take them, judged on any platform: a package
// checked on Linux meets the Windows rules as much as one checked on Windows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/extraction.h"
#include "platform/windows_names.h"

namespace kel {

// The Windows rule for one level, in the platform layer so that its Windows half uses it too.
using platform::FindWindowsNameFault;
using platform::IsStorableOnWindows;
using platform::WindowsNameFault;

// Entry names longer than this, or with more folder levels, are refused as unsafe: no honest
// package needs them, Windows could not create them, and each level costs a folder to make.
inline constexpr std::size_t kMaxEntryNameLength = 1024;
inline constexpr std::size_t kMaxEntryNameDepth = 64;

// One rule for the extraction and the package check. Names are '/'-separated: backslashes must
// already have become '/'.
//
// IsSafeOnEveryPlatform is false for names that leave the folder they are joined to (a ".."
// level, a leading '/', a drive "C:") and for names longer than kMaxEntryNameLength bytes or
// with more than kMaxEntryNameDepth levels. IsSafeEntryName is false for those too, and for
// names with a level the local file system would store under another name or as no file (on
// Windows: devices, streams, trailing dots, and names that do not convert from their encoding,
// judged as the system is given them).
bool IsSafeOnEveryPlatform(std::string_view name);
bool IsSafeEntryName(std::string_view name, platform::NameText text = platform::NameText::kSystem);

// The length of text in UTF-16 units, the units of Windows' path limit: a UTF-8 name (valid)
// counts one unit per character and two for one above U+FFFF; an 8-bit name is ANSI text, one
// unit per byte.
std::size_t Utf16Length(std::string_view text, bool utf8);

// The text as NTFS compares names where case is ignored: each UTF-16 unit of valid UTF-8 text
// by its simple uppercase mapping (platform::UpperCaseUnit, the Unicode data's, for the whole
// Basic Multilingual Plane; a character above it is a surrogate pair, whose units are their
// own), written back as UTF-8; 8-bit text, whose characters depend on the code page, and text
// not valid UTF-8 with ASCII letters in upper case. Two names with the same key name one file on
// Windows.
std::string CaseFoldKey(std::string_view text, bool utf8);

// The folders and files that entry names make, as a file system finds them: by their bytes, or,
// where case is ignored, by their CaseFoldKey, level by level. One node for each level in its
// folder's node, which keeps that level alone, so that memory grows with the bytes of the names
// given, never with their prefixes.
class NameTree {
  public:
    using Node = std::size_t;
    static constexpr Node kRoot = 0;  // the folder the names are relative to

    explicit NameTree(bool ignore_case) : ignore_case_(ignore_case) {}

    struct Found {
        Node node;
        bool added;  // a node of its own: no name given before reached it
    };
    // The node of level (one level, neither empty nor ".") in the folder node parent, made when
    // no name reached it before.
    Found Add(Node parent, std::string_view level, bool utf8);

    // The level as the name that made the node wrote it.
    const std::string& Spelling(Node node) const { return spellings_.at(node - 1); }
    // Nodes so far, the root among them: each node is less than this.
    std::size_t size() const { return spellings_.size() + 1; }

  private:
    bool ignore_case_;
    std::unordered_map<std::string, Node> nodes_;  // by the parent's number and the level's key
    std::vector<std::string> spellings_;           // by node, less one
    std::string key_;                              // reused by Add
};

// Entry names as a Windows client unpacks them: a level that meets one of an earlier name in the
// same folder where case is ignored (as NTFS compares names) is spelled as that one, so that
// such a name is a repeated name, and is treated as one (a later file replaces an earlier one,
// and a file where a folder is, or the other way round, is refused), whatever the file system
// itself takes for one name.
class FirstSpellings {
  public:
    // name: valid UTF-8, '/'-separated. The name with every level as it was first spelled (empty
    // and "." ones, which are no levels, as they are); valid until the next call.
    const std::string& Respell(std::string_view name);

  private:
    NameTree tree_{true};
    std::string spelled_;
};

}  // namespace kel
