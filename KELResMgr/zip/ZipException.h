// The error raised by the zip archive reader.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kel {

// Reader-internal codes that share one code space with zlib's results.
inline constexpr int kZipParamError = -102;
inline constexpr int kZipBadZipFile = -103;
inline constexpr int kZipBadCrc = -105;

// Raised by CZipArchiveReader for every archive and decompression failure. Failures of the file
// layer (platform::FileError) are not turned into this type; callers that must survive any failure
// catch both.
class CZipException : public std::exception {
  public:
    // Values are the ones callers and traces rely on; new causes are only ever appended.
    enum class Cause : int {
        generic = 1,
        streamEnd = 2,
        needDict = 3,
        errNo = 4,
        streamError = 5,
        dataError = 6,
        memError = 7,
        bufError = 8,
        versionError = 9,
        paramError = 10,
        badZipFile = 11,
        badCrc = 12,
    };

    CZipException(Cause cause, std::string archive_path, std::uint8_t kind);

    // Maps a zlib result or a reader-internal code (kZip...) to its cause; anything unknown is
    // generic.
    static Cause CauseFromCode(int code);

    Cause cause() const { return cause_; }
    // Full path of the archive when it was open at the time of raising, else empty.
    const std::string& archive_path() const { return archive_path_; }
    // 0 when raised by a CZipArchiveReader, 1 by the bare base class.
    std::uint8_t kind() const { return kind_; }

    // "CZipException: <cause name>".
    const char* what() const noexcept override { return what_.c_str(); }

  private:
    std::uint8_t kind_;
    std::string archive_path_;
    Cause cause_;
    std::string what_;
};

// The cause's name as written in the enumeration ("badCrc"), for traces and messages.
const char* ZipCauseName(CZipException::Cause cause);

}  // namespace kel
