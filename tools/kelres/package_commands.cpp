// kelres pack and kelres publish: the operator's side of a resource, making a package and
// placing it where the media server serves it. Neither needs the library.
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/file.h"
#include "tools/kelres/commands.h"
#include "tools/kelres/package_writer.h"
#include "tools/kelres/progress_monitor.h"
#include "tools/kelres/res_id.h"
#include "tools/kelres/staged_file.h"

namespace kel::tool {
namespace {

namespace fs = std::filesystem;

std::string Counted(std::size_t count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

int RunPack(Arguments& args, Context& context) {
    const auto values = args.Positionals(2, 2);
    const std::string& folder = values[0];
    const std::string& package = values[1];
    const PackSummary summary = WritePackage(folder, package);
    std::error_code ec;
    const auto size = fs::file_size(package, ec);
    context.console.Print(package + ": " + Counted(summary.files, "file") + ", " +
                          Counted(summary.folders, "folder") + ", " +
                          FormatBytes(static_cast<double>(summary.bytes)) + " packed into " +
                          FormatBytes(static_cast<double>(size)));
    return kExitOk;
}

int RunPublish(Arguments& args, Context& context) {
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
    StagedFile staged(target.string());
    try {
        platform::File out =
            platform::File::Open(staged.path(), platform::File::Mode::kCreateWrite);
        AppendFileContent(package, out);
        out.Close();
    } catch (const platform::FileError& error) {
        throw CommandError(error.what());
    }
    staged.Commit();
    context.console.Print(target.string());
    return kExitOk;
}

}  // namespace

std::vector<Command> PackageCommands() {
    return {
        {"pack", "DIR OUT.tsl", "write the package of a folder",
         R"(Writes OUT.tsl, the package of everything in the folder DIR: "KEL", the format
version byte 1, then a zip archive of DIR's files and folders, deflated, with their times
and read-only bits, named relative to DIR. OUT.tsl is replaced only when the new package
is complete.)",
         false, RunPack},
        {"publish", "PACKAGE ID ROOT", "place a package where the media server serves it",
         R"(Copies PACKAGE to ROOT/T[0..1]/T[2..3]/T[4..5]/T[6..7]/T.tsl, T being the 16-digit
identifier text of ID (0A1B2C3D0000ABCD goes to ROOT/0A/1B/2C/3D/0A1B2C3D0000ABCD.tsl),
the path at which the library asks the media server for it. ROOT is the folder the media
server serves. The file there is replaced only when the copy is complete.)",
         false, RunPublish},
    };
}

}  // namespace kel::tool
