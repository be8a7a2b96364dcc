#include "platform/profile_reader.h"

#include <fstream>

namespace kel::platform {
namespace {

constexpr std::string_view kBlanks = " \t\r\n\v\f";

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        const auto la = (ca >= 'A' && ca <= 'Z') ? ca + 32 : ca;
        const auto lb = (cb >= 'A' && cb <= 'Z') ? cb + 32 : cb;
        if (la != lb) {
            return false;
        }
    }
    return true;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

std::string Cut(std::string_view text, std::size_t buffer_size) {
    if (buffer_size == 0) {
        return {};
    }
    return std::string(text.substr(0, buffer_size - 1));
}

// "[name]" gives name; other lines give nothing.
bool SectionHeader(std::string_view line, std::string_view& name) {
    if (line.empty() || line.front() != '[') {
        return false;
    }
    const auto close = line.find(']');
    name = Trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
    return true;
}

}  // namespace

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_value, const std::string& path,
                                    std::size_t buffer_size) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return Cut(default_value, buffer_size);
    }
    bool in_section = false;
    std::string raw;
    while (std::getline(file, raw)) {
        const std::string_view line = Trim(raw);
        std::string_view name;
        if (SectionHeader(line, name)) {
            if (in_section) {
                break;  // the first section of that name holds the keys
            }
            in_section = EqualsIgnoreCase(name, Trim(section));
            continue;
        }
        if (!in_section || line.empty() || line.front() == ';') {
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        if (EqualsIgnoreCase(Trim(line.substr(0, equals)), Trim(key))) {
            return Cut(Unquote(Trim(line.substr(equals + 1))), buffer_size);
        }
    }
    return Cut(default_value, buffer_size);
}

}  // namespace kel::platform
