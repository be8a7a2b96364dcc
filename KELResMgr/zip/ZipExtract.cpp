#include "KELResMgr/zip/ZipExtract.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "KELResMgr/zip/EntryName.h"
#include "KELResMgr/zip/EntryWriter.h"
#include "KELResMgr/zip/Footprint.h"
#include "KELResMgr/zip/NameRules.h"
#include "KELResMgr/zip/StagingFolder.h"
#include "KELResMgr/zip/ZipArchiveReader.h"
#include "platform/durable.h"
#include "platform/extraction.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/path.h"

namespace kel {
namespace {

// Set by tests only (SetBeforeEntryHookForTests).
void (*g_before_entry_hook)(const std::string& folder) = nullptr;

// The folders of the staging tree that entries were written to, open. Each folder is opened
// through the one above it, so a folder of the staging tree that is replaced by a link meanwhile
// never leads a write elsewhere, and is opened and checked once while it stays open: archives that
// list their entries folder after folder, and those that go round the folders file by file, pay
// for it once. At most platform::kFoldersKeptOpen are kept; past that, all are closed and opened
// again as entries need them. The levels of a path beyond those kept are opened one from the other,
// each parent closed once its child is open, and only the deepest stays open, for the entry and
// those after it in the same folder: an extraction holds a bounded number of folders open however
// deep its names go. On Windows the open folders cannot be renamed or removed.
class FolderChain {
  public:
    explicit FolderChain(const std::string& root) : root_{root, platform::Folder::Open(root)} {}

    const std::string& root() const { return root_.path; }

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
    void Close() {
        opened_.clear();
        deepest_ = Level();
        root_.folder = platform::Folder();
    }

  private:
    struct Level {
        std::string path;
        platform::Folder folder;
    };
    // The level of the folder key names, when it is open; null otherwise.
    const Level* Find(const std::string& key) const;
    // Opens the levels of the folder part of a name (up to and with its last '/') into key_.
    const Level& Open(std::string_view folder_part, platform::NameText text);

    Level root_;
    // By the levels' names below the staging folder, each followed by '/', and the encoding the
    // names are in: the same bytes name another folder in another encoding. A node map: a level
    // stays where it is while others are added.
    std::unordered_map<std::string, Level> opened_;
    // The last level opened beyond those kept, under its key (empty when none).
    std::string deepest_key_;
    Level deepest_;
    std::string key_;  // reused by Prepare
};

// Calls add(level) for each level of a name's folder part: its segments before a '/', but for
// empty and "." ones.
template <class Add>
void ForEachLevel(std::string_view folder_part, Add&& add) {
    std::size_t start = 0;
    for (std::size_t slash = folder_part.find('/'); slash != std::string_view::npos;
         start = slash + 1, slash = folder_part.find('/', start)) {
        const std::string_view segment = folder_part.substr(start, slash - start);
        if (!segment.empty() && segment != ".") {
            add(segment);
        }
    }
}

const FolderChain::Level* FolderChain::Find(const std::string& key) const {
    if (key.size() == 1) {
        return &root_;  // the encoding alone: no folder part
    }
    const auto found = opened_.find(key);
    if (found != opened_.end()) {
        return &found->second;
    }
    return key == deepest_key_ ? &deepest_ : nullptr;
}

const FolderChain::Level& FolderChain::Open(std::string_view folder_part, platform::NameText text) {
    if (opened_.size() >= platform::kFoldersKeptOpen) {
        opened_.clear();
    }
    const Level* level = &root_;
    key_.resize(1);
    ForEachLevel(folder_part, [&](std::string_view segment) {
        key_.append(segment).push_back('/');
        if (const auto found = opened_.find(key_); found != opened_.end()) {
            level = &found->second;
            return;
        }
        std::string path = platform::JoinPath(level->path, segment);
        // Opened through its parent, which stays open until then.
        platform::Folder folder = level->folder.OpenOrCreateFolder(segment, text, path);
        Level opened{std::move(path), std::move(folder)};
        if (opened_.size() < platform::kFoldersKeptOpen) {
            level = &opened_.try_emplace(key_, std::move(opened)).first->second;
            return;
        }
        deepest_ = std::move(opened);  // closes the parent when that was the deepest before
        deepest_key_ = key_;
        level = &deepest_;
    });
    return *level;
}

FolderChain::Output FolderChain::Prepare(std::string_view name, platform::NameText text) {
    const std::size_t leaf_start = name.rfind('/') + 1;  // 0 when there is no '/'
    const std::string_view folder_part = name.substr(0, leaf_start);
    key_.assign(1, static_cast<char>(text));
    ForEachLevel(folder_part,
                 [&](std::string_view segment) { key_.append(segment).push_back('/'); });
    const Level* level = Find(key_);
    if (level == nullptr) {
        level = &Open(folder_part, text);
    }
    const std::string_view leaf = name.substr(leaf_start);
    return {level->folder, leaf, platform::JoinPath(level->path, leaf)};
}

// Throws unless path is a real folder: a link in its place could lead writes elsewhere.
void RequireRealFolder(const std::string& path) {
    if (!platform::IsRealFolder(path)) {
        throw std::invalid_argument("not a folder: " + path);
    }
}

// Throws unless what the archive creates fits its own size and the disk (see Footprint.h): a
// folder bomb as std::invalid_argument, too little space or too few inodes as the system's
// disk-full error.
void RequireFootprintFits(CZipArchiveReader& reader, std::uint64_t declared_bytes,
                          const std::string& staging) {
    const std::optional<FootprintFault> fault =
        FindFootprintFault(MeasureFootprint(reader), reader.archive_length(), declared_bytes,
                           platform::AvailableSpace(staging), platform::AvailableInodes(staging));
    if (!fault) {
        return;
    }
    if (fault->folder_bomb) {
        throw std::invalid_argument(fault->what);
    }
    throw platform::FileError("extract into", staging, platform::kDiskFullError);
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

// spellings: where the file system ignores case (platform::kNamesIgnoreCase), else null.
void ExtractCurrentEntry(CZipArchiveReader& reader, FolderChain& folders, EntryWriter& writer,
                         FirstSpellings* spellings) {
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
    platform::NameText text = entry.Text();
    // Checked before anything is written for the entry; folder entries are checked too, since an
    // archive that carries such a name cannot be trusted with the rest.
    if (!IsSafeEntryName(name, text)) {
        throw UnsafeEntryName(name);
    }
    if (name.back() == '/') {
        return;  // folder entry: folders come from the file entries' paths
    }
    // A name that meets an earlier one where case is ignored is spelled as that one: a repeated
    // name, as the package check predicts, whatever the volume folds itself.
    std::string_view spelled = name;
    if (spellings != nullptr) {
        const std::optional<std::string> utf8 = platform::NameAsUtf8(name, text);
        if (!utf8) {
            throw UnsafeEntryName(name);
        }
        spelled = spellings->Respell(*utf8);
        text = platform::NameText::kUtf8;
    }

    platform::File output = CreateOutput(folders.Prepare(spelled, text), text, writer);
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
    RequireFootprintFits(reader, declared.total, staging);
    // Buffers no larger than the largest entry needs: a small package gets small ones. Declared
    // after the folders: on failure its files are closed before their folders, and all of them
    // before the staging folder is removed.
    EntryWriter writer(
        std::clamp<std::size_t>(declared.largest, 1, std::max<std::size_t>(chunk_size, 1)));
    std::optional<FirstSpellings> spellings;
    if (platform::kNamesIgnoreCase) {
        spellings.emplace();
    }
    do {
        ExtractCurrentEntry(reader, folders, writer, spellings ? &*spellings : nullptr);
    } while (reader.GoToNextEntry());
    reader.Close();  // raises the last opened entry's CRC mismatch
    writer.Wait();   // raises a failed write or close
    // A staging folder replaced by a link meanwhile would be renamed into the target's place and
    // answered to the host, pointing elsewhere.
    RequireRealFolder(staging);
    folders.Close();
    // A power cut after the rename must not leave the target with empty files, which every later
    // request would answer as installed: the data and the tree's entries go to disk first.
    platform::MakeTreeDurable(staging);
    return staging_folder.Install();
}

}  // namespace kel
