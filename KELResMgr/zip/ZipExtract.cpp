#include "KELResMgr/zip/ZipExtract.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
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

// Set by tests only (SetBeforeEntryHookForTests).
void (*g_before_entry_hook)(const std::string& folder) = nullptr;

// The open folders from the staging folder down to the folder of the last entry written. Each
// level is opened through the one above it, so a folder of the staging tree that is replaced by
// a link meanwhile never leads a write elsewhere; entries of one folder, as archives mostly list
// them, share its handle. At most kMaxEntryNameDepth + 1 folders are open at once. On Windows
// the open levels cannot be renamed or removed either.
class FolderChain {
  public:
    explicit FolderChain(const std::string& root) {
        levels_.push_back(
            {std::string(), platform::NameText::kSystem, root, platform::Folder::Open(root)});
    }

    const std::string& root() const { return levels_.front().path; }

    // Where an entry's file goes: its folder, open, and its name there.
    struct Output {
        const platform::Folder& folder;
        std::string_view leaf;  // into the entry's name
        std::string path;
    };
    // The output of the entry name, whose missing folder levels are created below the staging
    // folder. Valid until the next call.
    Output Prepare(std::string_view name, platform::NameText text);

    // Before the staging folder is renamed: Windows cannot rename a folder with open handles
    // below it.
    void Close() { levels_.clear(); }

  private:
    struct Level {
        std::string name;
        platform::NameText text;  // the same bytes name another folder in another encoding
        std::string path;
        platform::Folder folder;
    };
    std::vector<Level> levels_;  // [0] is the staging folder
};

FolderChain::Output FolderChain::Prepare(std::string_view name, platform::NameText text) {
    std::size_t depth = 0;  // levels_[depth] is the folder reached so far
    std::size_t start = 0;
    for (std::size_t slash = name.find('/'); slash != std::string::npos;
         start = slash + 1, slash = name.find('/', start)) {
        const std::string_view segment = name.substr(start, slash - start);
        if (segment.empty() || segment == ".") {
            continue;
        }
        ++depth;
        if (depth < levels_.size() && levels_[depth].name == segment &&
            levels_[depth].text == text) {
            continue;  // still on the last entry's path
        }
        levels_.resize(depth);
        std::string path = platform::JoinPath(levels_.back().path, segment);
        platform::Folder folder = levels_.back().folder.OpenOrCreateFolder(segment, text, path);
        levels_.push_back({std::string(segment), text, std::move(path), std::move(folder)});
    }
    levels_.resize(depth + 1);
    const std::string_view leaf = name.substr(start);
    return {levels_.back().folder, leaf, platform::JoinPath(levels_.back().path, leaf)};
}

// Throws unless path is a real folder: a link in its place could lead writes elsewhere.
void RequireRealFolder(const std::string& path) {
    if (!platform::IsRealFolder(path)) {
        throw std::invalid_argument("not a folder: " + path);
    }
}

void ExtractCurrentEntry(CZipArchiveReader& reader, FolderChain& folders,
                         std::vector<char>& buffer) {
    if (g_before_entry_hook != nullptr) {
        g_before_entry_hook(folders.root());
    }
    ZipEntryInfo info;
    reader.GetCurrentEntryInfo(&info, nullptr, 0, nullptr, 0, nullptr, 0);
    const EntryName entry = ReadEntryName(reader, info);
    const std::string& name = entry.text;
    if (name.empty()) {
        throw std::invalid_argument("empty entry name");
    }
    const platform::NameText text = entry.Text();
    // Checked before anything is written for the entry; folder entries are checked too, since an
    // archive that carries such a name cannot be trusted with the rest.
    if (!IsSafeEntryName(name, text)) {
        throw UnsafeEntryName(name);
    }
    if (name.back() == '/') {
        return;  // folder entry: folders come from the file entries' paths
    }

    const FolderChain::Output place = folders.Prepare(name, text);
    // Created before the entry is opened: an entry that cannot be opened leaves an empty file.
    // A file or link already of that name (a later entry of the same name, or what an earlier
    // extraction left) is replaced, never written through.
    platform::File output = place.folder.CreateFresh(place.leaf, text, place.path);
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

void SetBeforeEntryHookForTests(void (*hook)(const std::string& folder)) {
    g_before_entry_hook = hook;
}

bool IsSafeEntryName(std::string_view name, platform::NameText text) {
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
            (++depth > kMaxEntryNameDepth || !platform::IsStorableName(segment, text))) {
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
    // Declared after the staging folder: its handles are closed before the folder is removed.
    FolderChain folders(staging);  // checked again through its handle, which writes go through

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
    do {
        ExtractCurrentEntry(reader, folders, buffer);
    } while (reader.GoToNextEntry());
    reader.Close();  // raises the last opened entry's CRC mismatch
    // A staging folder replaced by a link meanwhile would be renamed into the target's place and
    // answered to the host, pointing elsewhere.
    RequireRealFolder(staging);
    folders.Close();
    return staging_folder.Install();
}

}  // namespace kel
