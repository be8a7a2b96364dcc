// Packages are written with libzip: it writes the archive, the deflated data and the CRCs, and it
// is kept up to date by its maintainers and by Debian. Since the package's zip archive follows a
// 4-byte header and its offsets count from there, libzip writes a plain archive to a temporary
// file first, which is then copied behind the header.
#include "tools/kelres/package_writer.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/file.h"
#include "tools/kelres/command_line.h"
#include "tools/kelres/staged_file.h"

namespace kel::tool {
namespace fs = std::filesystem;

namespace {

constexpr zip_uint32_t kReadOnlyAttribute = 0x01;  // in the low byte, as the library reads it
constexpr zip_uint32_t kFolderAttribute = 0x10;

struct Entry {
    std::string name;  // relative, '/' between levels, a trailing '/' for folders
    fs::path path;
    struct stat info;
    bool folder;
};

// Discards an archive that was not closed: nothing of it is written.
struct ZipDiscard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipArchive = std::unique_ptr<zip_t, ZipDiscard>;

// Everything below folder, sorted by name so that the same folder gives the same package.
std::vector<Entry> CollectEntries(const fs::path& folder, const fs::path& skip) {
    std::vector<Entry> entries;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        const fs::path& path = it->path();
        std::error_code same_ec;
        if (fs::equivalent(path, skip, same_ec)) {
            continue;  // an earlier package of this folder written into it
        }
        Entry entry{fs::relative(path, folder).generic_string(), path, {}, false};
        if (entry.name.find('\\') != std::string::npos) {
            throw CommandError("cannot pack " + path.string() +
                               ": its name holds a backslash, which the library reads as a "
                               "folder separator");
        }
        if (lstat(path.c_str(), &entry.info) != 0) {
            throw CommandError("cannot pack " + path.string() + ": " + std::strerror(errno));
        }
        if (S_ISDIR(entry.info.st_mode)) {
            entry.folder = true;
            entry.name += '/';
        } else if (!S_ISREG(entry.info.st_mode)) {
            throw CommandError("cannot pack " + path.string() +
                               ": only files and folders can be packed");
        } else if (access(path.c_str(), R_OK) != 0) {
            throw CommandError("cannot pack " + path.string() + ": " + std::strerror(errno));
        }
        entries.push_back(std::move(entry));
    }
    if (ec) {
        throw CommandError("cannot read the folder " + folder.string() + ": " + ec.message());
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return entries;
}

zip_uint32_t ExternalAttributes(const struct stat& info, bool folder) {
    zip_uint32_t attributes = static_cast<zip_uint32_t>(info.st_mode & 0xFFFF) << 16;
    if ((info.st_mode & S_IWUSR) == 0) {
        attributes |= kReadOnlyAttribute;
    }
    if (folder) {
        attributes |= kFolderAttribute;
    }
    return attributes;
}

void AddEntry(zip_t* archive, const Entry& entry) {
    zip_int64_t index;
    if (entry.folder) {
        index = zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_GUESS);
    } else {
        // The file is read when the archive is closed.
        zip_source_t* source = zip_source_file(archive, entry.path.c_str(), 0, -1);
        index = source == nullptr
                    ? -1
                    : zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_GUESS);
        if (index < 0 && source != nullptr) {
            zip_source_free(source);
        }
        if (index >= 0 && zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                                   ZIP_CM_DEFLATE, 0) != 0) {
            index = -1;
        }
    }
    const auto at = static_cast<zip_uint64_t>(index);
    if (index < 0 || zip_file_set_mtime(archive, at, entry.info.st_mtime, 0) != 0 ||
        zip_file_set_external_attributes(archive, at, 0, ZIP_OPSYS_UNIX,
                                         ExternalAttributes(entry.info, entry.folder)) != 0) {
        throw CommandError("cannot pack " + entry.path.string() + ": " + zip_strerror(archive));
    }
}

// Writes the zip archive of entries to the file at path, replacing it.
void WriteArchive(const std::vector<Entry>& entries, const std::string& path) {
    int error = 0;
    ZipArchive archive(zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error));
    if (!archive) {
        zip_error_t details;
        zip_error_init_with_code(&details, error);
        const std::string cause = zip_error_strerror(&details);
        zip_error_fini(&details);
        throw CommandError("cannot create " + path + ": " + cause);
    }
    for (const Entry& entry : entries) {
        AddEntry(archive.get(), entry);
    }
    if (zip_close(archive.get()) != 0) {
        throw CommandError("cannot write " + path + ": " + zip_strerror(archive.get()));
    }
    archive.release();  // closed: zip_close has freed it
}

}  // namespace

PackSummary WritePackage(const std::string& folder, const std::string& package) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        throw CommandError("cannot pack " + folder + ": no such folder");
    }
    const std::vector<Entry> entries = CollectEntries(folder, package);
    PackSummary summary;
    for (const Entry& entry : entries) {
        if (entry.folder) {
            ++summary.folders;
        } else {
            ++summary.files;
            summary.bytes += static_cast<std::uint64_t>(entry.info.st_size);
        }
    }
    if (summary.files == 0) {
        throw CommandError("nothing to pack: " + folder + " holds no files");
    }

    StagedFile archive(package);  // never committed: removed at the end
    WriteArchive(entries, archive.path());
    StagedFile staged(package);
    try {
        platform::File out =
            platform::File::Open(staged.path(), platform::File::Mode::kCreateWrite);
        out.Write(kPackageSignature, sizeof kPackageSignature);
        out.Write(&kPackageVersion, 1);
        AppendFileContent(archive.path(), out);
        out.Close();
    } catch (const platform::FileError& error) {
        throw CommandError(error.what());
    }
    staged.Commit();
    return summary;
}

bool IsPackage(const std::string& path) {
    platform::File file = platform::File::TryOpen(path, platform::File::Mode::kRead);
    char header[kPackageHeaderSize];
    try {
        return file.is_open() && file.Read(header, sizeof header) == sizeof header &&
               std::memcmp(header, kPackageSignature, sizeof kPackageSignature) == 0 &&
               header[3] == kPackageVersion;
    } catch (const platform::FileError&) {
        return false;
    }
}

}  // namespace kel::tool
