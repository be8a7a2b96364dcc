#include "tools/kelres/package_check.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <tuple>

#include "KELResMgr/download/Package.h"
#include "KELResMgr/zip/EntryName.h"
#include "KELResMgr/zip/Footprint.h"
#include "KELResMgr/zip/NameRules.h"
#include "KELResMgr/zip/ZipArchiveReader.h"
#include "KELResMgr/zip/ZipExtract.h"
#include "platform/file.h"

namespace kel {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kLinuxLevelLimit = 255;  // bytes of one file name
// A folder's path leaves room for an 8.3 name below it: MAX_PATH less 12, less the terminator.
constexpr std::size_t kWindowsFolderLimit = 247;
constexpr std::size_t kIdentifierLength = 16;
constexpr char kTargetSuffix[] = "_files\\";
constexpr char kTargetShown[] = "<T>_files\\";
constexpr std::uint32_t kHiddenAttribute = 0x02;
constexpr std::uint32_t kSystemAttribute = 0x04;

// The installed folder's path, C:\...\Resources\<T>_files\, in characters.
constexpr std::size_t kWindowsTargetLength =
    sizeof kWindowsResourcesFolder - 1 + kIdentifierLength + sizeof kTargetSuffix - 1;

// The name's levels joined by '/', without the empty and "." ones, which add no folder.
std::string NormalPath(std::string_view name) {
    std::string path;
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t slash = std::min(name.find('/', start), name.size());
        const std::string_view level = name.substr(start, slash - start);
        if (!level.empty() && level != ".") {
            path += path.empty() ? "" : "/";
            path += level;
        }
        start = slash + 1;
    }
    return path;
}

bool HasHighBytes(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) > 0x7F; });
}

const char* DescribeWindowsFault(WindowsNameFault fault) {
    switch (fault) {
        case WindowsNameFault::kDevice:
            return "names a device on Windows";
        case WindowsNameFault::kStream:
            return "holds a ':', which names a stream of another file on Windows";
        case WindowsNameFault::kTrailingDotOrBlank:
            return "ends in a dot or a blank, which Windows drops";
        case WindowsNameFault::kCharacter:
            return "holds a control character or one of <>\"|?*, which Windows file names cannot";
        case WindowsNameFault::kEmpty:
        case WindowsNameFault::kNone:
            break;
    }
    return "is no Windows file name";
}

// What is wrong, in words: the reader's causes are zlib's results and its own.
const char* DescribeZipError(CZipException::Cause cause) {
    using Cause = CZipException::Cause;
    switch (cause) {
        case Cause::badZipFile:
            return "its records do not fit together (a damaged or cut archive)";
        case Cause::badCrc:
            return "its data fail their CRC-32 check";
        case Cause::dataError:
            return "its deflated data are damaged";
        case Cause::bufError:
        case Cause::streamEnd:
            return "the deflated data end before the entry's declared size";
        case Cause::needDict:
            return "its deflated data ask for a preset dictionary, which no zip entry has";
        case Cause::memError:
            return "out of memory";
        case Cause::errNo:
            return "the package file could not be read";
        case Cause::streamError:
        case Cause::versionError:
        case Cause::paramError:
        case Cause::generic:
            break;
    }
    return "the archive reader failed on it (a fault of the reader, not of the package)";
}

bool IsLeapYear(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Whether the DOS date and time fields name a real time (1980 to 2107 is all they can hold).
bool IsCalendarTime(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                    unsigned second) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    const unsigned days = kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    return day >= 1 && day <= days;
}

// One file entry, as the collision search needs it.
struct FileName {
    std::string name;  // as read
    std::string path;  // NormalPath of it
    bool utf8 = false;
};

class Checker {
  public:
    explicit Checker(PackageCheck& result) : result_(result) {}

    void Problem(const std::string& entry, std::string what, unsigned clients) {
        result_.problems.push_back({entry, std::move(what), clients});
    }

    // Everything that the central directory tells about one entry.
    void Entry(const EntryName& name, const ZipEntryInfo& info) {
        ++result_.entries;
        ++result_.names_by_encoding.at(static_cast<std::size_t>(name.encoding));
        if (name.text.empty()) {
            Problem(name.text, "an entry without a name: refused", kEveryClient);
            return;
        }
        const std::size_t before = result_.problems.size();
        const bool refused_everywhere = !JudgeName(name);
        // The extraction's own rule on this platform has the last word: the verdict never says
        // "ok" for a name that it refuses.
        const bool judged_here = std::any_of(
            result_.problems.begin() + static_cast<std::ptrdiff_t>(before), result_.problems.end(),
            [](const PackageProblem& p) { return (p.clients & ThisPlatformClients()) != 0; });
        if (!judged_here && !IsSafeEntryName(name.text, name.Text())) {
            Problem(name.text, "refused by this platform's name rule", ThisPlatformClients());
        }
        if (name.text.back() == '/') {
            return;  // a folder entry makes no file: its time and attributes are never set
        }
        JudgeTime(name.text, info.dos_date_time);
        JudgeAttributes(name.text, info.external_attributes);
        if (refused_everywhere) {
            // Judged once: no client makes a file of it, so its path and its collisions are no
            // client's (and a name of any length costs no more than its own bytes).
            return;
        }
        const std::size_t last = name.text.rfind('/');
        if (name.text.substr(last == std::string::npos ? 0 : last + 1) == ".") {
            // Joined to its folder, "." names that folder: no file can be made there.
            Problem(name.text, "ends in \".\", which names a folder, not a file: refused",
                    kEveryClient);
        }
        files_.push_back({name.text, NormalPath(name.text), name.IsUtf8()});
        footprint_.AddFile(name.text, name.Text());
        JudgeWindowsPath(files_.back());
    }

    // Files that land on one another or on another one's folder, on every file system and on a
    // case-insensitive one.
    void FindCollisions() {
        const auto exact = Collisions(false);
        for (const auto& [at, other, folder] : exact) {
            Problem(
                files_[at].name,
                folder
                    ? "is a file where \"" + files_[other].name + "\" needs a folder: refused"
                    : "is named like \"" + files_[other].name + "\" before it, which it replaces",
                kEveryClient);
        }
        for (const auto& found : Collisions(true)) {
            if (std::find(exact.begin(), exact.end(), found) != exact.end()) {
                continue;
            }
            // What the Windows extraction does with such a name (FirstSpellings): it takes it
            // for the earlier one, as NTFS would, and treats it as a repeated name.
            const auto& [at, other, folder] = found;
            Problem(files_[at].name,
                    folder ? "is a file where \"" + files_[other].name +
                                 "\" needs a folder where case is ignored, as on Windows: "
                                 "refused"
                           : "is the same file as \"" + files_[other].name +
                                 "\" before it where case is ignored, as on Windows: its data "
                                 "replace that file's, under the earlier name",
                    kWindowsClients);
        }
    }

    // The folders and files that a client's extraction creates.
    Footprint footprint() const { return footprint_.footprint(); }

  private:
    // (file, the earlier file it meets, whether that one needs it as a folder)
    using Collision = std::tuple<std::size_t, std::size_t, bool>;

    // With fold, as NTFS finds names (FirstSpellings: what a Windows client unpacks). In a tree
    // of the names' levels, so that memory follows the names' bytes, not their prefixes.
    std::vector<Collision> Collisions(bool fold) const {
        constexpr std::size_t kNoFile = static_cast<std::size_t>(-1);
        NameTree tree(fold);
        std::vector<std::size_t> file_at;    // by node: the first file there
        std::vector<std::size_t> folder_of;  // by node: the first file that needs it as a folder
        std::vector<NameTree::Node> node_of(files_.size(), NameTree::kRoot);
        std::vector<Collision> found;
        for (std::size_t i = 0; i < files_.size(); ++i) {
            const std::string& path = files_[i].path;  // no empty or "." level
            NameTree::Node node = NameTree::kRoot;
            for (std::size_t start = 0; start < path.size();) {
                const std::size_t slash = std::min(path.find('/', start), path.size());
                if (node != NameTree::kRoot && folder_of[node] == kNoFile) {
                    folder_of[node] = i;
                }
                node = tree.Add(node, std::string_view(path).substr(start, slash - start),
                                files_[i].utf8)
                           .node;
                file_at.resize(tree.size(), kNoFile);
                folder_of.resize(tree.size(), kNoFile);
                start = slash + 1;
            }
            node_of[i] = node;
            if (node == NameTree::kRoot) {
                continue;  // "." alone, refused already
            }
            if (file_at[node] == kNoFile) {
                file_at[node] = i;
            } else {
                found.emplace_back(i, file_at[node], false);
            }
        }
        for (std::size_t i = 0; i < files_.size(); ++i) {
            if (node_of[i] != NameTree::kRoot && folder_of[node_of[i]] != kNoFile) {
                found.emplace_back(i, folder_of[node_of[i]], true);
            }
        }
        return found;
    }

    // False when every client refuses the name whatever else is in the package.
    bool JudgeName(const EntryName& name) {
        const std::string& text = name.text;
        if (!IsSafeOnEveryPlatform(text)) {
            const std::string normal = NormalPath(text);
            const std::size_t depth = std::count(normal.begin(), normal.end(), '/') + 1;
            const std::string why =
                text.size() > kMaxEntryNameLength
                    ? "is longer than " + std::to_string(kMaxEntryNameLength) + " bytes"
                : depth > kMaxEntryNameDepth
                    ? "is deeper than " + std::to_string(kMaxEntryNameDepth) + " levels"
                    : "leaves the folder it is unpacked into (\"..\", a leading '/' or a drive)";
            Problem(text, why + ": refused", kEveryClient);
            return false;
        }
        bool windows_fault = false;
        bool linux_fault = false;
        for (std::size_t start = 0; start <= text.size();) {
            const std::size_t slash = std::min(text.find('/', start), text.size());
            const std::string_view level(text.data() + start, slash - start);
            start = slash + 1;
            if (level.empty() || level == ".") {
                continue;
            }
            const WindowsNameFault fault = FindWindowsNameFault(level);
            if (fault != WindowsNameFault::kNone && !windows_fault) {
                windows_fault = true;
                Problem(
                    text,
                    "\"" + std::string(level) + "\" " + DescribeWindowsFault(fault) + ": refused",
                    kWindowsClients);
            }
            if (level.size() > kLinuxLevelLimit && !linux_fault) {
                linux_fault = true;
                Problem(text,
                        "a level of " + std::to_string(level.size()) + " bytes, past the " +
                            std::to_string(kLinuxLevelLimit) + " of a Linux file name: refused",
                        kLinuxClients);
            }
        }
        if (name.encoding == NameEncoding::kBytes && HasHighBytes(text)) {
            Problem(text,
                    "8-bit name of no marked encoding: Windows clients read it in their code "
                    "page, Linux clients keep its bytes, so the file is named otherwise from "
                    "client to client",
                    kEveryClient);
        } else if (name.encoding == NameEncoding::kUtf8Flag && !IsValidUtf8(text)) {
            Problem(text, "marked as UTF-8 but not valid UTF-8: Windows cannot name a file so",
                    kWindowsClients);
        }
        return true;
    }

    void JudgeWindowsPath(const FileName& file) {
        const std::size_t units = Utf16Length(file.path, file.utf8);
        const std::size_t installed = kWindowsTargetLength + units;
        result_.longest_windows_path = std::max(result_.longest_windows_path, installed);
        const std::string under =
            std::string("path under ") + kWindowsResourcesFolder + kTargetShown;
        if (installed + kWindowsStagingExtra > kWindowsPathLimit) {
            Problem(file.name,
                    "its " + under + " is " + std::to_string(installed) + " characters, " +
                        std::to_string(installed + kWindowsStagingExtra) +
                        " while unpacking, past the " + std::to_string(kWindowsPathLimit) +
                        " of MAX_PATH: refused",
                    kWindowsClients);
            return;
        }
        const std::size_t slash = file.path.rfind('/');
        if (slash == std::string::npos) {
            return;
        }
        const std::size_t folder =
            kWindowsTargetLength + Utf16Length(file.path.substr(0, slash), file.utf8);
        if (folder + kWindowsStagingExtra > kWindowsFolderLimit) {
            Problem(file.name,
                    "its folder's " + under + " is " + std::to_string(folder) + " characters, " +
                        std::to_string(folder + kWindowsStagingExtra) +
                        " while unpacking, past the " + std::to_string(kWindowsFolderLimit) +
                        " of a Windows folder (MAX_PATH less room for an 8.3 name): refused",
                    kWindowsClients);
        }
    }

    void JudgeTime(const std::string& name, std::uint32_t dos_date_time) {
        const unsigned date = dos_date_time >> 16;
        const unsigned time = dos_date_time & 0xFFFF;
        const unsigned year = 1980 + (date >> 9);
        const unsigned month = (date >> 5) & 0x0F;
        const unsigned day = date & 0x1F;
        const unsigned hour = time >> 11;
        const unsigned minute = (time >> 5) & 0x3F;
        const unsigned second = (time & 0x1F) * 2;
        if (IsCalendarTime(year, month, day, hour, minute, second)) {
            return;
        }
        char text[32];
        std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", year, month, day, hour,
                      minute, second);
        Problem(name,
                std::string("its time, ") + text +
                    ", is none between 1980 and 2107: clients carry it over into another",
                kEveryClient);
    }

    void JudgeAttributes(const std::string& name, std::uint32_t attributes) {
        const char* lost = (attributes & kHiddenAttribute)   ? "hidden"
                           : (attributes & kSystemAttribute) ? "system"
                                                             : nullptr;
        if (lost != nullptr) {
            Problem(name, std::string("marked ") + lost + ", which Linux clients do not keep",
                    kLinuxClients);
        }
    }

    PackageCheck& result_;
    std::vector<FileName> files_;
    FootprintCounter footprint_;
};

// Reads the data of the current file entry as an extraction does, into nothing. False when the
// reader cannot go on delivering data (a problem is then recorded).
bool ReadEntryData(CZipArchiveReader& reader, const ZipEntryInfo& info, const std::string& name,
                   std::vector<char>& buffer, Checker& checker) {
    try {
        reader.OpenCurrentEntry();
        std::uint64_t delivered = 0;
        for (;;) {
            const std::size_t got = reader.ReadCurrentEntry(buffer.data(), buffer.size());
            delivered += got;
            if (got != buffer.size()) {
                break;
            }
        }
        reader.CloseCurrentEntry();
        if (delivered != info.uncompressed_size) {
            checker.Problem(name, "its data end before its declared size: refused", kEveryClient);
            return false;
        }
        return true;
    } catch (const CZipException& error) {
        checker.Problem(name, std::string(DescribeZipError(error.cause())) + ": refused",
                        kEveryClient);
    } catch (const platform::FileError& error) {
        checker.Problem(name, std::string("cannot be read: ") + error.what(), kEveryClient);
    }
    return false;
}

void ReadPackage(const std::string& package_path, Checker& checker) {
    CZipArchiveReader reader(package_path, kPackageBodyOffset);
    reader.CheckEntryLayout();
    std::vector<char> buffer(kReadChunk);
    // After a data fault the reader delivers no more data (a CRC mismatch stays raised), and a
    // client has stopped anyway; the names are still judged.
    bool readable = true;
    do {
        ZipEntryInfo info;
        reader.GetCurrentEntryInfo(&info, nullptr, 0, nullptr, 0, nullptr, 0);
        const EntryName name = ReadEntryName(reader, info);
        checker.Entry(name, info);
        if (readable && !name.text.empty() && name.text.back() != '/') {
            readable = ReadEntryData(reader, info, name.text, buffer, checker);
        }
    } while (reader.GoToNextEntry());
    if (readable) {
        reader.Close();
    }
    // The clients' extraction refuses it before writing anything, whatever their free space.
    const std::optional<FootprintFault> fault = FindFootprintFault(
        checker.footprint(), reader.archive_length(), 0, std::nullopt, std::nullopt);
    if (fault) {
        checker.Problem({}, fault->what + ": refused", kEveryClient);
    }
}

}  // namespace

PackageCheck CheckPackage(const std::string& package_path) {
    PackageCheck result;
    Checker checker(result);
    try {
        if (!IsValidPackage(package_path)) {
            checker.Problem({},
                            HasPackageSignature(package_path)
                                ? "its format version is not 1: no client unpacks it"
                                : "no package: it cannot be read or does not begin with \"KEL\"",
                            kEveryClient);
            return result;
        }
        ReadPackage(package_path, checker);
    } catch (const CZipException& error) {
        checker.Problem({}, std::string(DescribeZipError(error.cause())) + ": refused",
                        kEveryClient);
    } catch (const platform::FileError& error) {
        checker.Problem({}, std::string("cannot be read: ") + error.what(), kEveryClient);
    } catch (const std::invalid_argument& error) {
        checker.Problem({}, std::string(error.what()) + ": refused", ThisPlatformClients());
    }
    checker.FindCollisions();
    return result;
}

std::vector<PackageProblem> ProblemsFor(const PackageCheck& check, unsigned clients) {
    std::vector<PackageProblem> problems;
    std::copy_if(check.problems.begin(), check.problems.end(), std::back_inserter(problems),
                 [clients](const PackageProblem& p) { return (p.clients & clients) != 0; });
    return problems;
}

}  // namespace kel
