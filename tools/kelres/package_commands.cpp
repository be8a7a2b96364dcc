// kelres pack, publish and check: the operator's side of a resource, making a package, telling
// whether every client can unpack it, and placing it where the media server serves it. None of
// them loads the library: the check is the library's own code, built into the tool.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

#include "platform/file.h"
#include "platform/path.h"
#include "tools/kelres/commands.h"
#include "tools/kelres/package_check.h"
#include "tools/kelres/package_writer.h"
#include "tools/kelres/progress_monitor.h"
#include "tools/kelres/res_id.h"
#include "tools/kelres/signing.h"
#include "tools/kelres/staged_file.h"

namespace kel::tool {
namespace {

namespace fs = std::filesystem;

std::string Counted(std::size_t count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string Counted(std::size_t count, const std::string& one, const std::string& many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

constexpr char kSeparator = platform::kPathSeparator;

const char* ClientsText(unsigned clients) {
    switch (clients) {
        case kLinuxClients:
            return "Linux";
        case kWindowsClients:
            return "Windows";
        default:
            return "Linux, Windows";
    }
}

// One line per problem, the entry shown as shown_as makes it.
std::vector<std::string> ProblemLines(
    const std::vector<PackageProblem>& problems,
    const std::function<std::string(const std::string&)>& shown_as) {
    std::vector<std::string> lines;
    for (const PackageProblem& problem : problems) {
        const std::string entry = problem.entry.empty() ? "" : shown_as(problem.entry) + ": ";
        lines.push_back("  " + entry + problem.what + " [" + ClientsText(problem.clients) + "]");
    }
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += "\n" + line;
    }
    return text;
}

// The package's verdict for every client: a CommandError that names each problem (refusal
// begins it, force_does tells what --force would do), or with force the same lines as warnings.
void RequireUnpackable(const std::string& package, const std::string& refusal,
                       const std::string& force_does, bool force,
                       const std::function<std::string(const std::string&)>& shown_as,
                       Console& console) {
    const std::vector<PackageProblem> problems = CheckPackage(package).problems;
    if (problems.empty()) {
        return;
    }
    const std::vector<std::string> lines = ProblemLines(problems, shown_as);
    if (!force) {
        throw CommandError(refusal + ": some clients would not unpack it as it is (with --force " +
                           force_does + " all the same)" + Joined(lines));
    }
    for (const std::string& line : lines) {
        console.Error("warning:" + line.substr(1));
    }
}

// "(3 entries; 2 names read as plain bytes, 1 as UTF-8 (flag); longest Windows path 75
// characters of 259, 88 while unpacking)"
std::string CheckDetails(const PackageCheck& check, unsigned clients) {
    static constexpr const char* kEncodings[] = {"plain bytes", "UTF-8 (flag)",
                                                 "UTF-8 (Unicode path field)", "UTF-8 (unmarked)"};
    std::string details = "(" + Counted(check.entries, "entry", "entries");
    bool first = true;
    for (std::size_t i = 0; i < check.names_by_encoding.size(); ++i) {
        const std::size_t count = check.names_by_encoding[i];
        if (count != 0) {
            details += (first ? "; " + Counted(count, "name", "names") + " read as "
                              : ", " + std::to_string(count) + " as ") +
                       kEncodings[i];
            first = false;
        }
    }
    if ((clients & kWindowsClients) && check.longest_windows_path != 0) {
        details += "; longest Windows path " + std::to_string(check.longest_windows_path) +
                   " characters of " + std::to_string(kWindowsPathLimit) + ", " +
                   std::to_string(check.longest_windows_path + kWindowsStagingExtra) +
                   " while unpacking";
    }
    return details + ")";
}

unsigned ClientsOption(Arguments& args) {
    const std::optional<std::string> platform = args.TakeValue("--platform");
    if (!platform) {
        return kEveryClient;
    }
    if (*platform == "linux") {
        return kLinuxClients;
    }
    if (*platform == "windows") {
        return kWindowsClients;
    }
    throw UsageError("--platform is linux or windows, not \"" + *platform + "\"", "check");
}

int RunCheck(Arguments& args, Context& context) {
    const unsigned clients = ClientsOption(args);
    const std::optional<std::string> key = args.TakeValue("--key");
    const auto packages = args.Positionals(1, static_cast<std::size_t>(-1));
    const std::optional<KeyList> keys =
        key ? std::optional<KeyList>(LoadPublicKeys(*key)) : std::nullopt;
    bool all_fine = true;
    for (const std::string& package : packages) {
        const PackageCheck check = CheckPackage(package);
        const std::vector<PackageProblem> problems = ProblemsFor(check, clients);
        const std::string verdict =
            problems.empty() ? "ok" : Counted(problems.size(), "problem", "problems");
        context.console.Print(package + ": " + verdict + " " + CheckDetails(check, clients));
        for (const std::string& line :
             ProblemLines(problems, [](const std::string& entry) { return entry; })) {
            context.console.Print(line);
        }
        all_fine = all_fine && problems.empty();
        if (keys) {
            const SignatureCheck signature = CheckPackageSignature(package, *keys);
            context.console.Print("  " + SignatureText(signature, *keys));
            all_fine = all_fine && signature.ok();
        }
    }
    return all_fine ? kExitOk : kExitFailed;
}

int RunPack(Arguments& args, Context& context) {
    const bool force = args.TakeFlag("--force");
    const std::optional<std::string> key_file = args.TakeValue("--sign");
    const auto values = args.Positionals(2, 2);
    const std::string& folder = values[0];
    const std::string& package = values[1];
    // Read first: a key that cannot be read leaves OUT.tsl as it was.
    const std::optional<platform::P256KeyPair> key =
        key_file ? std::optional(LoadPrivateKey(*key_file)) : std::nullopt;
    // Each entry shown as the file it was packed from.
    const auto file_of = [&folder](std::string entry) {
        std::replace(entry.begin(), entry.end(), '/', kSeparator);
        return folder +
               (folder.empty() || folder.back() == kSeparator ? "" : std::string(1, kSeparator)) +
               entry;
    };
    const PackSummary summary = WritePackage(folder, package, [&](const std::string& written) {
        RequireUnpackable(written, "cannot pack " + folder, "it is packed", force, file_of,
                          context.console);
    });
    if (key) {
        SignInPlace(package, *key);
    }
    std::error_code ec;
    const auto size = fs::file_size(package, ec);
    context.console.Print(package + ": " + Counted(summary.files, "file") + ", " +
                          Counted(summary.folders, "folder") + ", " +
                          FormatBytes(static_cast<double>(summary.bytes)) + " packed into " +
                          FormatBytes(static_cast<double>(size)) +
                          (key ? ", signed by " + ShortKeyText(key->public_key) : ""));
    return kExitOk;
}

int RunPublish(Arguments& args, Context& context) {
    const bool force = args.TakeFlag("--force");
    const std::optional<std::string> key = args.TakeValue("--key");
    const auto values = args.Positionals(3, 3);
    const std::string& package = values[0];
    const std::string& root = values[2];
    const auto id = ParseResId(values[1]);
    if (!id) {
        throw UsageError("bad resource identifier \"" + values[1] +
                             "\": it must be 16 hexadecimal digits, such as 0A1B2C3D0000ABCD",
                         "publish");
    }
    if (IsReservedResId(ResIdText(*id))) {
        throw UsageError(
            ResIdText(*id) + " is a reserved identifier: the library never asks for it", "publish");
    }
    if (!IsPackage(package)) {
        throw CommandError("cannot publish " + package +
                           ": it is not a package (it must begin with \"KEL\" and version 1; "
                           "make one with kelres pack)");
    }
    if (key) {
        // Not even with --force: clients holding the key would refuse it.
        const KeyList keys = LoadPublicKeys(*key);
        const SignatureCheck signature = CheckPackageSignature(package, keys);
        if (!signature.ok()) {
            throw CommandError("cannot publish " + package + ": " + SignatureText(signature, keys) +
                               " (sign it with kelres sign)");
        }
    }
    RequireUnpackable(
        package, "cannot publish " + package, "it is published", force,
        [](const std::string& entry) { return entry; }, context.console);
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        throw CommandError("cannot publish into " + root + ": no such folder");
    }
    // The media server's layout, the path the library asks for.
    // In the system's own separators: a Windows user sees one kind of path.
    const fs::path target = (fs::path(root) / PackageServerPath(ResIdText(*id))).make_preferred();
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
        throw CommandError("cannot create the folder " + target.parent_path().string() + ": " +
                           ec.message());
    }
    PartFile staged = StageBeside(target.string());
    try {
        AppendFileContent(package, staged.file());
    } catch (const platform::FileError& error) {
        throw CommandError(error.what());
    }
    Commit(staged, target.string());
    context.console.Print(target.string());
    return kExitOk;
}

}  // namespace

std::vector<Command> PackageCommands() {
    return {
        {"pack", "[--force] [--sign PRIVATE] DIR OUT.tsl", "write the package of a folder",
         R"(Writes OUT.tsl, the package of everything in the folder DIR: "KEL", the format
version byte 1, then a zip archive of DIR's files and folders, deflated, with their times
and read-only bits, named relative to DIR in UTF-8. OUT.tsl is replaced only when the new
package is complete, and only when every client can unpack it as it is (see kelres check):
otherwise OUT.tsl stays as it was, and each file at fault is named.

  --force           write the package all the same; its problems are shown as warnings
  --sign PRIVATE    sign it with the private key in the file PRIVATE (see kelres sign))",
         false, RunPack},
        {"publish", "[--force] [--key PUBLIC] PACKAGE ID ROOT",
         "place a package where the media server serves it",
         R"(Copies PACKAGE to ROOT/T[0..1]/T[2..3]/T[4..5]/T[6..7]/T.tsl, T being the 16-digit
identifier text of ID (0A1B2C3D0000ABCD goes to ROOT/0A/1B/2C/3D/0A1B2C3D0000ABCD.tsl),
the path at which the library asks the media server for it. ROOT is the folder the media
server serves. The file there is replaced only when the copy is complete. A package that
some client would not unpack as it is (see kelres check) is not published.

  --force         publish it all the same; its problems are shown as warnings
  --key PUBLIC    publish it only when it is signed by one of the public keys PUBLIC
                  (key texts separated by commas, or a file holding them); --force
                  does not lift this)",
         false, RunPublish},
        {"check", "[--platform OS] [--key PUBLIC] PACKAGE...",
         "tell whether every client can unpack packages",
         R"(Reads each PACKAGE as a client reads it before unpacking, with the library's own
code: the header, then the whole archive, every entry's data and CRC-32. Nothing is
written and nothing is downloaded. The entries are judged by the rules of the clients
of both platforms, whichever platform kelres runs on:
  - names that leave the folder, or longer than 1024 bytes or 64 levels;
  - names Windows cannot store: devices (CON.txt, lpt1, COM and LPT with a superscript
    digit), ':', a trailing dot or blank, control characters and <>"|?*;
  - files whose names differ only in case as NTFS compares them (each UTF-16 unit by its
    simple upper case): one file on Windows, the later entry's data under the earlier name;
  - paths past MAX_PATH under C:\ProgramData\Vorn Tessel\Resources\<T>_files\, the
    resources folder of a Windows client, and levels past 255 bytes on Linux;
  - how each name's encoding is read (UTF-8 flag, Unicode path field, plain bytes),
    and 8-bit names that each client would name otherwise;
  - times that are no calendar time, and attributes that Linux clients drop.
Each package gets a line "PACKAGE: ok" or "PACKAGE: N problems", with its entries, the
encodings of their names and the longest Windows path, then one line per problem that
names the entry and the clients concerned. The status is 0 when every package is fine.

  --platform OS    linux or windows: judge for the clients of that platform only
  --key PUBLIC     check each signature too, as a client whose package_key is PUBLIC
                   does (key texts separated by commas, or a file holding them): a
                   line "signed by KEY", "unsigned" or "bad signature: WHY" follows;
                   the status is 0 only when every package is signed by one of them)",
         false, RunCheck},
    };
}

}  // namespace kel::tool
