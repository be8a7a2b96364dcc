#include "platform/profile_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

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

// The descriptor of a settings file, closed at destruction. Only a regular file (links
// followed) is opened: a named pipe would hold the reader until a writer came, and opening a
// device may act on it, so anything else reads as a missing file. What lies at the path is
// looked at before it is opened and again on the open descriptor, in case the path changed in
// between; O_NONBLOCK keeps that open from waiting should it meet a pipe all the same.
class SettingsFile {
  public:
    explicit SettingsFile(const std::string& path) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            return;
        }
        int fd;
        do {
            fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            return;
        }
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            return;
        }
        fd_ = fd;
    }
    ~SettingsFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    bool is_open() const { return fd_ >= 0; }

    // Fills data unless the end of the file comes first; a read error ends the file there.
    std::size_t Read(char* data, std::size_t size) {
        std::size_t done = 0;
        while (fd_ >= 0 && done < size) {
            const ssize_t got = ::read(fd_, data + done, size - done);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

  private:
    int fd_ = -1;
};

constexpr char32_t kReplacementCharacter = 0xFFFD;

void AppendUtf8(char32_t c, std::string& text) {
    if (c < 0x80) {
        text += static_cast<char>(c);
    } else if (c < 0x800) {
        text += static_cast<char>(0xC0 | (c >> 6));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        text += static_cast<char>(0xE0 | (c >> 12));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (c >> 18));
        text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Turns the bytes of the file into the 8-bit text that keys are read from. A file that starts
// with a UTF-16 byte-order mark (either byte order) is converted to UTF-8: the 8-bit text of
// this platform's paths and names, which loses no character, so that a file saved as UTF-16
// reads as the same file saved as UTF-8. A UTF-8 mark is dropped; other files are taken byte
// for byte. A lone surrogate becomes U+FFFD; an odd last byte is no character and is dropped.
class TextDecoder {
  public:
    // The first bytes given must hold the byte-order mark whole when the file has one.
    void Decode(std::string_view bytes, std::string& text) {
        if (first_) {
            first_ = false;
            bytes = TakeByteOrderMark(bytes);
        }
        if (encoding_ == Encoding::kBytes) {
            text.append(bytes);
            return;
        }
        for (const char byte : bytes) {
            const auto value = static_cast<unsigned char>(byte);
            if (odd_byte_ < 0) {
                odd_byte_ = value;
                continue;
            }
            const auto first = static_cast<char16_t>(std::exchange(odd_byte_, -1));
            Unit(static_cast<char16_t>(encoding_ == Encoding::kUtf16Be ? (first << 8 | value)
                                                                       : (value << 8 | first)),
                 text);
        }
    }

    // What an unfinished character at the end of the file gives.
    void Finish(std::string& text) {
        if (high_surrogate_ != 0) {
            high_surrogate_ = 0;
            AppendUtf8(kReplacementCharacter, text);
        }
    }

  private:
    enum class Encoding { kBytes, kUtf16Le, kUtf16Be };

    std::string_view TakeByteOrderMark(std::string_view bytes) {
        const struct {
            std::string_view mark;
            Encoding encoding;
        } marks[] = {{"\xEF\xBB\xBF", Encoding::kBytes},
                     {"\xFF\xFE", Encoding::kUtf16Le},
                     {"\xFE\xFF", Encoding::kUtf16Be}};
        for (const auto& [mark, encoding] : marks) {
            if (bytes.substr(0, mark.size()) == mark) {
                encoding_ = encoding;
                return bytes.substr(mark.size());
            }
        }
        return bytes;
    }

    void Unit(char16_t unit, std::string& text) {
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (high_surrogate_ != 0) {
            const char16_t lead = std::exchange(high_surrogate_, 0);
            if (low) {
                AppendUtf8(0x10000 + ((char32_t{lead} - 0xD800) << 10) + (unit - 0xDC00), text);
                return;
            }
            AppendUtf8(kReplacementCharacter, text);
        }
        if (high) {
            high_surrogate_ = unit;
            return;
        }
        AppendUtf8(low ? kReplacementCharacter : unit, text);
    }

    Encoding encoding_ = Encoding::kBytes;
    bool first_ = true;
    int odd_byte_ = -1;  // the first byte of a unit whose second has not come yet
    char16_t high_surrogate_ = 0;
};

// Where the first line in text ends ('\n' or '\r'), or text's size. A plain loop: it is several
// times faster than find_first_of on a file of one huge line.
std::size_t LineEnd(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\r') {
            return i;
        }
    }
    return text.size();
}

// Reads a file line by line into one buffer of fixed size, so that memory stays flat whatever the
// file holds. A line ends at "\n", "\r" or "\r\n"; the last one counts as a "\r" line end followed
// by an empty line, which the keys' reader skips like every blank line.
class LineReader {
  public:
    explicit LineReader(const std::string& path)
        : file_(path),
          block_(std::make_unique_for_overwrite<char[]>(kBlockSize)),
          line_(std::make_unique_for_overwrite<char[]>(kMaxProfileLine)) {
        text_.reserve(kBlockSize / 2 * 3);  // UTF-16 takes at most 3 bytes of UTF-8 a unit
    }

    bool is_open() const { return file_.is_open(); }
    bool skipped_long_line() const { return skipped_long_line_; }

    // The next line without its end, or false at the end of the file. Lines longer than
    // kMaxProfileLine are skipped. The line stays valid until the next call.
    bool Next(std::string_view& line) {
        for (;;) {
            switch (TakeLine()) {
                case Taken::kLine:
                    line = std::string_view(line_.get(), length_);
                    return true;
                case Taken::kTooLong:
                    skipped_long_line_ = true;
                    continue;
                case Taken::kEnd:
                    return false;
            }
        }
    }

  private:
    static constexpr std::size_t kBlockSize = 64 * 1024;
    enum class Taken { kLine, kTooLong, kEnd };

    // Reads up to the next line end, keeping the line in line_ unless it is too long.
    Taken TakeLine() {
        length_ = 0;
        bool started = false;
        bool too_long = false;
        for (;;) {
            if (position_ == text_.size() && !Refill()) {
                if (!started) {
                    return Taken::kEnd;
                }
                break;  // the last line, without an end
            }
            started = true;
            const std::string_view rest = std::string_view(text_).substr(position_);
            const std::size_t end = LineEnd(rest);
            const std::string_view piece = rest.substr(0, end);
            position_ += piece.size();
            if (piece.size() > kMaxProfileLine - length_) {
                too_long = true;
            } else if (!too_long) {
                std::memcpy(line_.get() + length_, piece.data(), piece.size());
                length_ += piece.size();
            }
            if (end < rest.size()) {
                ++position_;
                break;
            }
        }
        return too_long ? Taken::kTooLong : Taken::kLine;
    }

    // The next block's text in text_; false at the end of the file.
    bool Refill() {
        text_.clear();
        position_ = 0;
        while (text_.empty()) {
            if (at_end_) {
                return false;
            }
            const std::size_t got = file_.Read(block_.get(), kBlockSize);
            if (got == 0) {
                at_end_ = true;
                decoder_.Finish(text_);
            } else {
                decoder_.Decode(std::string_view(block_.get(), got), text_);
            }
        }
        return true;
    }

    SettingsFile file_;
    TextDecoder decoder_;
    std::unique_ptr<char[]> block_;  // bytes as read
    std::string text_;               // their text
    std::size_t position_ = 0;       // in text_
    std::unique_ptr<char[]> line_;   // kMaxProfileLine characters
    std::size_t length_ = 0;         // of the line in line_
    bool at_end_ = false;
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
