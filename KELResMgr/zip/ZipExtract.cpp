#include "KELResMgr/zip/ZipExtract.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "KELResMgr/zip/EntryName.h"
#include "KELResMgr/zip/EntryWriter.h"
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

// A deflate stream that ends before the declared size is closed by the reader without a CRC
// check; unverified, shortened data must not pass for a complete extraction.
void RequireDeclaredSize(const CZipArchiveReader& reader, const ZipEntryInfo& info,
                         std::uint64_t written) {
    if (written != info.uncompressed_size) {
        throw CZipException(CZipException::Cause::badZipFile, reader.path(), reader.kind());
    }
}

// Created before the entry is opened: an entry that cannot be opened leaves an empty file. A file
// or link already of that name (a later entry of the same name, or what an earlier extraction
// left) is replaced, never written through.
platform::File CreateOutput(const FolderChain::Output& place, platform::NameText text,
                            EntryWriter& writer) {
    try {
        return place.folder.CreateFresh(place.leaf, text, place.path);
    } catch (const platform::FileError&) {
        // An earlier entry of that name may still be open on the writer's side, and Windows does
        // not let go of the name of an open file: once every file handed over is closed, once
        // more.
        writer.Wait();
    }
    return place.folder.CreateFresh(place.leaf, text, place.path);
}

void ExtractCurrentEntry(CZipArchiveReader& reader, FolderChain& folders, EntryWriter& writer) {
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

    platform::File output = CreateOutput(folders.Prepare(name, text), text, writer);
    reader.OpenCurrentEntry();
    const EntryStamp stamp{info.modification_time, info.external_attributes};
    const std::size_t size = writer.buffer_size();
    // The reader delivers no more than the declared size, so one read takes all of a small
    // entry: written here, as a hand-over to the writer would cost more than the write.
    std::size_t got = reader.ReadCurrentEntry(writer.buffer(), size);
    if (info.uncompressed_size <= size) {
        if (got != 0) {
            output.Write(writer.buffer(), got);
        }
        RequireDeclaredSize(reader, info, got);
        writer.Close(std::move(output), stamp);
        return;
    }
    // A large one is written on the writer's thread while the next chunk is read.
    std::uint64_t written = got;
    writer.Begin(std::move(output), got);
    while (got == size) {
        got = reader.ReadCurrentEntry(writer.buffer(), size);
        if (got != 0) {
            writer.Write(got);
            written += got;
        }
    }
    RequireDeclaredSize(reader, info, written);
    writer.Finish(stamp);
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
    // Buffers no larger than the largest entry needs: a small package gets small ones. Declared
    // after the folders: on failure its files are closed before their folders, and all of them
    // before the staging folder is removed.
    EntryWriter writer(
        std::clamp<std::size_t>(declared.largest, 1, std::max<std::size_t>(chunk_size, 1)));
    do {
        ExtractCurrentEntry(reader, folders, writer);
    } while (reader.GoToNextEntry());
    reader.Close();  // raises the last opened entry's CRC mismatch
    writer.Wait();   // raises a failed write or close
    // A staging folder replaced by a link meanwhile would be renamed into the target's place and
    // answered to the host, pointing elsewhere.
    RequireRealFolder(staging);
    folders.Close();
    return staging_folder.Install();
}

}  // namespace kel
