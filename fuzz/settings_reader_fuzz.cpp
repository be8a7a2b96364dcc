// Reads keys from a settings file made of the input. The first byte repeats the rest up to 256
// times (at most 256 KiB in all), so that lines past the reader's 64 KiB line limit are reached
// from short inputs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzScratch.h"
#include "platform/profile_reader.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "settings reader: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t repeats = std::min<std::size_t>(1 + data[0], (256 << 10) / size);
    const std::string once(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string content;
    for (std::size_t i = 0; i < repeats; ++i) {
        content += once;
    }
    const std::string& path = kel::fuzz::WriteInput(
        reinterpret_cast<const std::uint8_t*>(content.data()), content.size());

    const struct {
        const char* section;
        const char* key;
        std::size_t buffer;
    } reads[] = {{"upload", "ftp_server", 10240},
                 {"download", "t_http_port", 10240},
                 {"upload", "path", std::size_t{1} + (data[size - 1] & 0x0F)}};
    const std::string fallback =
        "\x01"
        "default";
    // A UTF-16 file's values are its text converted, not bytes of the file.
    const bool utf16 = content.starts_with("\xFF\xFE") || content.starts_with("\xFE\xFF");
    for (const auto& read : reads) {
        const std::string value = kel::platform::GetPrivateProfileString(
            read.section, read.key, fallback, path, read.buffer);
        Check(value.size() < read.buffer, "value longer than the buffer");
        // Whatever is not (a cut of) the default was read from the file.
        if (!utf16 && fallback.compare(0, value.size(), value) != 0) {
            Check(content.find(value) != std::string::npos, "value that is not in the file");
        }
    }
    // No line can hold a key with a line break: such a key is never found.
    Check(
        kel::platform::GetPrivateProfileString("upload", "a\nb", fallback, path, 10240) == fallback,
        "found a key that no line can hold");
    return 0;
}
