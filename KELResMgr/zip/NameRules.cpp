#include "KELResMgr/zip/NameRules.h"

#include <algorithm>
#include <cstdint>

#include "KELResMgr/zip/EntryName.h"
#include "platform/windows_names.h"

namespace kel {
namespace {

void AppendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The byte length of the UTF-8 sequence that lead begins (valid text).
std::size_t SequenceLength(unsigned char lead) {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// The rule of both: the name stays in its folder, within the length and the depth, and each
// level (neither empty nor ".") passes level_ok.
template <class LevelRule>
bool IsSafeName(std::string_view name, LevelRule level_ok) {
    if (name.size() > kMaxEntryNameLength || (!name.empty() && name.front() == '/')) {
        return false;
    }
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
        return false;
    }
    std::size_t depth = 0;
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t slash = std::min(name.find('/', start), name.size());
        const std::string_view level = name.substr(start, slash - start);
        if (level == "..") {
            return false;
        }
        if (!level.empty() && level != "." && (++depth > kMaxEntryNameDepth || !level_ok(level))) {
            return false;
        }
        start = slash + 1;
    }
    return true;
}

}  // namespace

bool IsSafeOnEveryPlatform(std::string_view name) {
    return IsSafeName(name, [](std::string_view) { return true; });
}

bool IsSafeEntryName(std::string_view name, platform::NameText text) {
    return IsSafeName(
        name, [text](std::string_view level) { return platform::IsStorableName(level, text); });
}

std::size_t Utf16Length(std::string_view text, bool utf8) {
    if (!utf8 || !IsValidUtf8(text)) {
        return text.size();
    }
    std::size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) {
            units += byte >= 0xF0 ? 2 : 1;  // four bytes: a surrogate pair
        }
    }
    return units;
}

std::string CaseFoldKey(std::string_view text, bool utf8) {
    std::string key;
    key.reserve(text.size());
    if (!utf8 || !IsValidUtf8(text)) {
        for (const char c : text) {
            key += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 0x20) : c;
        }
        return key;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = SequenceLength(bytes[i]);
        std::uint32_t c = length == 1 ? bytes[i] : bytes[i] & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            c = (c << 6) | (bytes[i + k] & 0x3F);
        }
        // Above the first plane: a surrogate pair, whose units have no upper case.
        AppendUtf8(key, c <= 0xFFFF ? platform::UpperCaseUnit(static_cast<std::uint16_t>(c)) : c);
        i += length;
    }
    return key;
}

NameTree::Found NameTree::Add(Node parent, std::string_view level, bool utf8) {
    key_.assign(reinterpret_cast<const char*>(&parent), sizeof parent);
    if (ignore_case_) {
        key_ += CaseFoldKey(level, utf8);
    } else {
        key_ += level;
    }
    const auto [it, added] = nodes_.try_emplace(key_, size());
    if (added) {
        spellings_.emplace_back(level);
    }
    return {it->second, added};
}

const std::string& FirstSpellings::Respell(std::string_view name) {
    spelled_.clear();
    NameTree::Node node = NameTree::kRoot;
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t slash = std::min(name.find('/', start), name.size());
        const std::string_view level = name.substr(start, slash - start);
        if (start != 0) {
            spelled_ += '/';
        }
        start = slash + 1;
        if (level.empty() || level == ".") {
            spelled_ += level;  // no level of its own: left for the extraction to judge
            continue;
        }
        node = tree_.Add(node, level, true).node;
        spelled_ += tree_.Spelling(node);
    }
    return spelled_;
}

}  // namespace kel
