#include "KELResMgr/zip/ZipExtract.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "KELResMgr/zip/EntryName.h"
#include "KELResMgr/zip/StagingFolder.h"
#include "KELResMgr/zip/ZipArchiveReader.h"
#include "platform/extraction.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/path.h"

namespace kel {
namespace {

// The folders made or checked in one extraction are remembered up to about this many bytes of
// paths, then forgotten and learnt anew, so that memory stays flat whatever the archive names.
constexpr std::size_t kKnownFoldersBudget = 1 << 20;
// What one remembered path costs besides its characters (hash node and bucket).
constexpr std::size_t kKnownFolderOverhead = 64;

// Folders known to exist as real folders below the staging folder.
class KnownFolders {
  public:
    bool Contains(const std::string& path) const { return folders_.count(path) != 0; }
    void Add(const std::string& path) {
        const std::size_t cost = path.size() + kKnownFolderOverhead;
        if (bytes_ + cost > kKnownFoldersBudget) {
            folders_.clear();
            bytes_ = 0;
        }
        folders_.insert(path);
        bytes_ += cost;
    }

  private:
    std::unordered_set<std::string> folders_;
    std::size_t bytes_ = 0;
};

// Throws unless path is a real folder: a link in its place could lead writes elsewhere.
void RequireRealFolder(const std::string& path) {
    if (!platform::IsRealFolder(path)) {
        throw std::invalid_argument("not a folder: " + path);
    }
}

// Creates the folders of the name's folder part below root, refusing any that is not a real
// folder, and returns the output path. Folders made or checked once in this extraction are
// remembered in known_folders and, while remembered, not checked again.
std::string PrepareOutputPath(const std::string& root, const std::string& name,
                              KnownFolders& known_folders) {
    std::string path = root;
    std::size_t start = 0;
    for (std::size_t slash = name.find('/'); slash != std::string::npos;
         start = slash + 1, slash = name.find('/', start)) {
        const std::string_view segment(name.data() + start, slash - start);
        if (segment.empty() || segment == ".") {
            continue;
        }
        path = platform::JoinPath(path, segment);
        if (known_folders.Contains(path)) {
            continue;
        }
        if (!platform::CreateOneFolder(path)) {
            RequireRealFolder(path);  // it existed already
        }
        known_folders.Add(path);
    }
    return platform::JoinPath(path, std::string_view(name).substr(start));
}

void ExtractCurrentEntry(CZipArchiveReader& reader, const std::string& root,
                         std::vector<char>& buffer, KnownFolders& known_folders) {
    ZipEntryInfo info;
    reader.GetCurrentEntryInfo(&info, nullptr, 0, nullptr, 0, nullptr, 0);
    const std::string name = ReadEntryName(reader, info).text;
    if (name.empty()) {
        throw std::invalid_argument("empty entry name");
    }
    // Checked before anything is written for the entry; folder entries are checked too, since an
    // archive that carries such a name cannot be trusted with the rest.
    if (!IsSafeEntryName(name)) {
        throw UnsafeEntryName(name);
    }
    if (name.back() == '/') {
        return;  // folder entry: folders come from the file entries' paths
    }

    const std::string path = PrepareOutputPath(root, name, known_folders);
    // Created before the entry is opened: an entry that cannot be opened leaves an empty file.
    // A file or link already of that name (a later entry of the same name, or what an earlier
    // extraction left) is replaced, never written through.
    platform::File output = platform::CreateFresh(path);
    reader.OpenCurrentEntry();
    std::uint64_t written = 0;
    for (;;) {
        const std::size_t got = reader.ReadCurrentEntry(buffer.data(), buffer.size());
        if (got != 0) {
            output.Write(buffer.data(), got);
            written += got;
        }
        if (got != buffer.size()) {
            break;
        }
    }
    platform::CloseWithEntryTimeAndAttributes(output, info.modification_time,
                                              info.external_attributes);
    // A deflate stream that ends before the declared size is closed by the reader without a CRC
    // check; unverified, shortened data must not pass for a complete extraction.
    if (written != info.uncompressed_size) {
        throw CZipException(CZipException::Cause::badZipFile, reader.path(), reader.kind());
    }
}

}  // namespace

bool IsSafeEntryName(std::string_view name) {
    if (name.size() > kMaxEntryNameLength) {
        return false;
    }
    if (!name.empty() && name.front() == '/') {
        return false;
    }
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
        return false;
    }
    std::size_t start = 0;
    std::size_t depth = 0;
    while (start <= name.size()) {
        std::size_t slash = name.find('/', start);
        if (slash == std::string_view::npos) {
            slash = name.size();
        }
        const std::string_view segment = name.substr(start, slash - start);
        if (segment == "..") {
            return false;
        }
        if (!segment.empty() && segment != "." &&
            (++depth > kMaxEntryNameDepth || !platform::IsStorableName(segment))) {
            return false;
        }
        start = slash + 1;
    }
    return true;
}

bool ExtractArchive(const std::string& archive_path, const std::string& target_folder,
                    std::size_t chunk_size, std::uint64_t archive_start) {
    StagingFolder staging_folder(target_folder);  // fresh and empty, removed on failure
    const std::string& staging = staging_folder.path();
    RequireRealFolder(staging);

    CZipArchiveReader reader(archive_path, archive_start);
    // Before anything is written: overlapping entries would multiply the archive's bytes on
    // disk, and a declared total that cannot fit would only fill the disk and then fail.
    const CZipArchiveReader::DeclaredSizes declared = reader.CheckEntryLayout();
    const std::optional<std::uint64_t> available = platform::AvailableSpace(staging);
    if (available && declared.total > *available) {
        throw platform::FileError("extract into", staging, platform::kDiskFullError);
    }
    // No larger than the largest entry needs: a small package gets a small buffer.
    std::vector<char> buffer(
        std::clamp<std::size_t>(declared.largest, 1, std::max<std::size_t>(chunk_size, 1)));
    KnownFolders known_folders;
    do {
        ExtractCurrentEntry(reader, staging, buffer, known_folders);
    } while (reader.GoToNextEntry());
    reader.Close();  // raises the last opened entry's CRC mismatch
    return staging_folder.Install();
}

}  // namespace kel
