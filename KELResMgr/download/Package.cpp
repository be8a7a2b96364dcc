#include "KELResMgr/download/Package.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <exception>
#include <vector>

#include "KELResMgr/base/ResTrace.h"
#include "KELResMgr/zip/ZipExtract.h"
#include "platform/file.h"

namespace kel {
namespace {

using platform::File;

constexpr char kFnExtract[] = "[ExtractPackage] ";
constexpr char kSignature[] = {'K', 'E', 'L'};
constexpr std::size_t kSignatureSize = sizeof kSignature;
constexpr unsigned char kFormatVersion = 0x01;
constexpr std::size_t kHeaderSize = 4;
// The body copy moves data in chunks of this size.
constexpr std::size_t kPackageChunkSize = 20480;
// Extraction writes entry data in blocks of this size: large enough that a typical file is one
// write and large files run at the disk's pace, small enough to keep an extraction's memory flat.
constexpr std::size_t kExtractChunkSize = 256 * 1024;

// The header's 4 bytes; false when the file cannot be opened or is shorter.
bool ReadHeader(const std::string& package_path, std::array<unsigned char, kHeaderSize>& header) {
    File package = File::TryOpen(package_path, File::Mode::kRead);
    return package.is_open() && package.Read(header.data(), header.size()) == header.size();
}

bool HasSignature(const std::array<unsigned char, kHeaderSize>& header) {
    return std::memcmp(header.data(), kSignature, kSignatureSize) == 0;
}

}  // namespace

bool IsValidPackage(const std::string& package_path) {
    std::array<unsigned char, kHeaderSize> header{};
    return ReadHeader(package_path, header) && HasSignature(header) &&
           header[kSignatureSize] == kFormatVersion;
}

bool HasPackageSignature(const std::string& package_path) {
    std::array<unsigned char, kHeaderSize> header{};
    return ReadHeader(package_path, header) && HasSignature(header);
}

bool CopyPackageBody(const std::string& package_path, const std::string& archive_path) {
    File package = File::TryOpen(package_path, File::Mode::kRead);
    if (!package.is_open()) {
        return false;
    }
    File archive = File::TryOpen(archive_path, File::Mode::kCreateWrite);
    if (!archive.is_open()) {
        return false;
    }
    std::array<char, kSignatureSize> signature{};
    const bool signed_package =
        package.Read(signature.data(), signature.size()) == kSignatureSize &&
        std::memcmp(signature.data(), kSignature, kSignatureSize) == 0;
    package.Seek(kHeaderSize);
    if (!signed_package) {
        return false;  // the archive file stays, empty
    }
    std::vector<char> chunk(kPackageChunkSize);
    std::size_t got = 0;
    do {
        got = package.Read(chunk.data(), chunk.size());
        archive.Write(chunk.data(), got);
    } while (got == chunk.size());
    archive.Close();  // reports a write the system could not complete
    package.Close();
    return true;
}

bool ExtractPackage(const std::string& archive_path, const std::string& target_folder,
                    std::uint64_t archive_start) noexcept {
    try {
        if (ExtractArchive(archive_path, target_folder, kExtractChunkSize, archive_start)) {
            return true;
        }
        KEL_TRACE(kFnExtract, "cannot rename the unpacked folder to %s", target_folder.c_str());
    } catch (const std::exception& error) {
        KEL_TRACE(kFnExtract, "cannot extract %s: %s", archive_path.c_str(), error.what());
    } catch (...) {
        KEL_TRACE(kFnExtract, "cannot extract %s", archive_path.c_str());
    }
    return false;
}

}  // namespace kel
