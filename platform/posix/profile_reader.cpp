#include "platform/profile_reader.h"

#include <fstream>
#include <limits>
#include <memory>

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

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Reads a file line by line into one buffer of fixed size, so that memory stays flat whatever the
// file holds.
class LineReader {
  public:
    explicit LineReader(const std::string& path)
        : file_(path, std::ios::binary),
          buffer_(std::make_unique_for_overwrite<char[]>(kMaxProfileLine + 1)) {}

    bool is_open() const { return static_cast<bool>(file_); }
    bool skipped_long_line() const { return skipped_long_line_; }

    // The next line without its '\n', or false at the end of the file. Lines longer than
    // kMaxProfileLine are skipped.
    bool Next(std::string_view& line) {
        for (;;) {
            if (file_.getline(buffer_.get(), kMaxProfileLine + 1)) {
                break;
            }
            if (file_.bad() || file_.eof()) {
                return false;  // nothing more was read
            }
            // The buffer filled before the end of the line: skip the rest of it.
            skipped_long_line_ = true;
            first_line_ = false;
            file_.clear();
            file_.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        }
        // gcount counts the '\n' that getline took but did not store; the last line of a file
        // may end without one.
        const auto taken = static_cast<std::size_t>(file_.gcount());
        line = std::string_view(buffer_.get(), file_.eof() ? taken : taken - 1);
        if (first_line_) {
            first_line_ = false;
            if (line.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
                line.remove_prefix(kUtf8Bom.size());
            }
        }
        return true;
    }

  private:
    std::ifstream file_;
    std::unique_ptr<char[]> buffer_;
    bool first_line_ = true;
    bool skipped_long_line_ = false;
};

// The value of key in section, or default_value.
std::string ReadValue(LineReader& file, std::string_view section, std::string_view key,
                      std::string_view default_value) {
    bool in_section = false;
    std::string_view raw;
    while (file.Next(raw)) {
        const std::string_view line = Trim(raw);
        std::string_view name;
        if (SectionHeader(line, name)) {
            if (in_section) {
                break;  // the first section of that name holds the keys
            }
            in_section = EqualsIgnoreCase(name, section);
            continue;
        }
        if (!in_section || line.empty() || line.front() == ';') {
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        if (EqualsIgnoreCase(Trim(line.substr(0, equals)), key)) {
            return std::string(Unquote(Trim(line.substr(equals + 1))));
        }
    }
    return std::string(default_value);
}

}  // namespace

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_value, const std::string& path,
                                    std::size_t buffer_size, bool* skipped_long_line) {
    LineReader file(path);
    std::string value(default_value);
    if (file.is_open()) {
        value = ReadValue(file, Trim(section), Trim(key), default_value);
    }
    if (skipped_long_line != nullptr) {
        *skipped_long_line = file.skipped_long_line();
    }
    return Cut(value, buffer_size);
}

}  // namespace kel::platform
