#include "KELResMgr/zip/Footprint.h"

#include "KELResMgr/zip/EntryName.h"
#include "KELResMgr/zip/ZipArchiveReader.h"

namespace kel {
namespace {

// FNV-1a, 64 bits, continued from hash.
constexpr std::uint64_t kFnvOffset = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;

std::uint64_t Continue(std::uint64_t hash, std::string_view bytes) {
    for (const char c : bytes) {
        hash = (hash ^ static_cast<unsigned char>(c)) * kFnvPrime;
    }
    return hash;
}

}  // namespace

void FootprintCounter::AddFile(std::string_view name, platform::NameText text) {
    ++files_;
    // The same bytes name another folder in another encoding: the encoding starts the path.
    std::uint64_t hash =
        Continue(kFnvOffset, std::string_view(text == platform::NameText::kUtf8 ? "u" : "s"));
    std::size_t start = 0;
    for (std::size_t slash = name.find('/'); slash != std::string_view::npos;
         start = slash + 1, slash = name.find('/', start)) {
        const std::string_view level = name.substr(start, slash - start);
        if (level.empty() || level == ".") {
            continue;
        }
        hash = Continue(Continue(hash, level), "/");
        folders_.insert(hash);
    }
}

Footprint MeasureFootprint(CZipArchiveReader& reader) {
    FootprintCounter counter;
    reader.GoToFirstEntry();
    do {
        ZipEntryInfo info;
        reader.GetCurrentEntryInfo(&info, nullptr, 0, nullptr, 0, nullptr, 0);
        const EntryName name = ReadEntryName(reader, info);
        if (!name.text.empty() && name.text.back() != '/') {
            counter.AddFile(name.text, name.Text());
        }
    } while (reader.GoToNextEntry());
    reader.GoToFirstEntry();
    return counter.footprint();
}

std::uint64_t FolderAllowance(std::uint64_t package_size, std::uint64_t files) {
    return kFreeFolders + files + package_size / kFootprintBlock;
}

std::optional<FootprintFault> FindFootprintFault(const Footprint& footprint,
                                                 std::uint64_t package_size,
                                                 std::uint64_t declared_bytes,
                                                 std::optional<std::uint64_t> free_bytes,
                                                 std::optional<std::uint64_t> free_inodes) {
    const std::uint64_t allowed = FolderAllowance(package_size, footprint.files);
    if (footprint.folders > allowed) {
        return FootprintFault{
            true, "it creates " + std::to_string(footprint.folders) + " folders, more than the " +
                      std::to_string(allowed) + " that its " + std::to_string(footprint.files) +
                      " files and " + std::to_string(package_size) + " bytes justify"};
    }
    const std::uint64_t created = footprint.files + footprint.folders;
    const std::uint64_t bytes = declared_bytes + created * kFootprintBlock;
    if (free_bytes && bytes > *free_bytes) {
        return FootprintFault{false, "it needs " + std::to_string(bytes) +
                                         " bytes with a block for each folder and file, more "
                                         "than the " +
                                         std::to_string(*free_bytes) + " free"};
    }
    if (free_inodes && created > *free_inodes) {
        return FootprintFault{false, "it creates " + std::to_string(created) +
                                         " folders and files, more than the " +
                                         std::to_string(*free_inodes) + " inodes free"};
    }
    return std::nullopt;
}

}  // namespace kel
