// The commands that reach the library's servers and folders: the catalogue queries, the
// upload and the user folder. Each calls one export and explains its result.
#include <array>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "KELResMgr/settings/Config.h"
#include "tools/kelres/commands.h"

namespace kel::tool {
namespace {

// Replies of the catalogue service are at most 1024 bytes; one more keeps a terminator.
constexpr std::size_t kReplyBuffer = 1024 + 1;

// Why a catalogue query that gives no answer gave none: the library reports "not configured"
// and "request failed" alike for some exports, and the settings tell them apart.
std::string CatalogueProblem(const Context& context) {
    const LibrarySettings& settings = *context.settings;
    if (settings.Read(config::kUpload, config::kWsUrl, "").empty()) {
        return "the catalogue service is not configured: no " + settings.KeyRead(config::kWsUrl) +
               " in [upload] of " + settings.file();
    }
    return "the request to the catalogue service " + settings.CatalogueServer() + " failed";
}

// The meaning of the codes of GetResourceID (0-2), ValidResID and InvalidResID (0-3).
std::string CodeMeaning(const Context& context, int code, const char* accepted) {
    switch (code) {
        case 0:
            return accepted;
        case 1:
        case 2:
            return CatalogueProblem(context);
        case 3:
            return "refused: the service answered \"0\" or nothing";
        default:
            return "unknown result";
    }
}

int ReportCode(Context& context, int code, const char* accepted) {
    const std::string line = std::to_string(code) + ": " + CodeMeaning(context, code, accepted);
    if (code == 0) {
        context.console.Print(line);
        return kExitOk;
    }
    context.console.Error(line);
    return kExitFailed;
}

int RunDescribe(Arguments& args, Context& context) {
    const auto values = args.Positionals(2, 2);
    std::array<char, kReplyBuffer> reply{};
    const int length = context.library->GetResourceDescription(
        values[0].c_str(), values[1].c_str(), reply.data(), static_cast<uint32_t>(reply.size()));
    if (length == 0) {
        context.console.Error("no description: " + CatalogueProblem(context) +
                              ", or the description is empty");
        return kExitFailed;
    }
    context.console.Print(std::string(reply.data(), static_cast<std::size_t>(length)));
    return kExitOk;
}

int RunSetDescription(Arguments& args, Context& context) {
    const auto values = args.Positionals(3, 3);
    if (context.library->UpdateResourceDescription(values[0].c_str(), values[1].c_str(),
                                                   values[2].c_str())) {
        context.console.Print("updated");
        return kExitOk;
    }
    context.console.Error("not updated: " + CatalogueProblem(context) +
                          ", or the service did not answer \"1\"");
    return kExitFailed;
}

int RunState(Arguments& args, Context& context) {
    const auto values = args.Positionals(1, 1);
    const int state = context.library->GetResIDState(values[0].c_str());
    context.console.Print(std::to_string(state));
    if (state == 0 && context.settings->Read(config::kUpload, config::kWsUrl, "").empty()) {
        context.console.Error("0 is also the answer when " + CatalogueProblem(context));
        return kExitFailed;
    }
    return kExitOk;
}

int RunResolve(Arguments& args, Context& context) {
    const auto values = args.Positionals(2, 2);
    std::array<char, kReplyBuffer> reply{};
    const int code = context.library->GetResourceID(
        values[0].c_str(), values[1].c_str(), reply.data(), static_cast<int32_t>(reply.size() - 1));
    if (code != 0) {
        return ReportCode(context, code, "");
    }
    context.console.Print(reply.data());  // zero-filled past the reply, so terminated
    return kExitOk;
}

int RunValidate(Arguments& args, Context& context) {
    const auto values = args.Positionals(2, 2);
    return ReportCode(context, context.library->ValidResID(values[0].c_str(), values[1].c_str()),
                      "valid");
}

int RunInvalidate(Arguments& args, Context& context) {
    const auto values = args.Positionals(1, 1);
    return ReportCode(context, context.library->InvalidResID(values[0].c_str()), "invalidated");
}

std::string UploadMeaning(const Context& context, int code) {
    const LibrarySettings& settings = *context.settings;
    switch (code) {
        case KELRES_UPLOAD_OK:
            return "stored on " + settings.FtpServer();
        case KELRES_UPLOAD_NULL_PATH:
            return "no local file given";
        case KELRES_UPLOAD_NOT_CONFIGURED:
            return "no FTP server configured: no " + settings.KeyRead(config::kFtpServer) +
                   " in [upload] of " + settings.file();
        case KELRES_UPLOAD_REFUSED:
            return settings.FtpServer() + " refused the transfer";
        case KELRES_UPLOAD_CONNECT_FAILED:
            return "cannot connect or log in to " + settings.FtpServer();
        case KELRES_UPLOAD_TRANSFER_FAILED:
            return "the transfer to " + settings.FtpServer() + " timed out or failed";
        case KELRES_UPLOAD_FOLDER_FAILED:
            return "cannot enter a folder of the file's folder chain on " + settings.FtpServer();
        case KELRES_UPLOAD_NO_SOURCE_FILE:
            return "the library found no such local file";
        case KELRES_UPLOAD_INTERNAL_FAILURE:
            return "an unexpected failure inside the library";
        default:
            return "unknown result";
    }
}

int RunUpload(Arguments& args, Context& context) {
    const std::string file = args.Positionals(1, 1)[0];
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        context.console.Error("cannot upload " + file + ": no such file");
        return kExitFailed;
    }
    const int code = context.library->UploadResFile(file.c_str());
    const std::string line = std::to_string(code) + ": " + UploadMeaning(context, code);
    if (code != KELRES_UPLOAD_OK) {
        context.console.Error("cannot upload " + file + ": " + line);
        return kExitFailed;
    }
    context.console.Print(line);
    return kExitOk;
}

int RunMkdir(Arguments& args, Context& context) {
    const std::string name = args.Positionals(1, 1)[0];
    if (name.empty()) {
        throw UsageError("the folder name must not be empty", "mkdir");
    }
    context.library->CreateUserFolder(name.c_str());
    // The export reports nothing; whether the folder is there tells.
    const std::string resources = FindLibraryFolders().resources;
    const std::string folder = resources + name;
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        context.console.Error("cannot create the folder " + folder +
                              " (only the last level of a name is created)");
        return kExitFailed;
    }
    context.console.Print(folder);
    return kExitOk;
}

}  // namespace

std::vector<Command> ServiceCommands() {
    return {
        {"describe", "INPUT AUTHOR", "print a resource's description (GetResourceDescription)",
         "Asks the catalogue service for the description of INPUT by AUTHOR and prints it.\n"
         "Exit status 1 when there is none: not configured, the request failed, or it is "
         "empty.",
         true, RunDescribe},
        {"set-description", "INPUT DESCRIPTION AUTHOR",
         "change a resource's description (UpdateResourceDescription)",
         "Stores DESCRIPTION for INPUT by AUTHOR in the catalogue service. Prints \"updated\"\n"
         "when the service answered \"1\"; exit status 1 otherwise.",
         true, RunSetDescription},
        {"state", "RESOURCE_ID", "print a resource's state number (GetResIDState)",
         "Prints the state number that the catalogue service gives for RESOURCE_ID. 0 is also\n"
         "the library's answer when the service is not configured or the request failed.",
         true, RunState},
        {"resolve", "INPUT AUTHOR", "print the identifier of INPUT by AUTHOR (GetResourceID)",
         "Asks the catalogue service for the resource identifier of INPUT by AUTHOR and prints\n"
         "it. Otherwise prints the result code and its meaning, exit status 1:\n"
         "  1 not configured, 2 request failed.",
         true, RunResolve},
        {"validate", "RESOURCE_ID AUTHOR", "confirm an identifier (ValidResID)",
         "Asks the catalogue service to confirm RESOURCE_ID for AUTHOR. Prints the result code\n"
         "and its meaning: 0 valid; 1 not configured; 2 request failed; 3 refused.\n"
         "Exit status 0 for 0 only.",
         true, RunValidate},
        {"invalidate", "RESOURCE_ID", "withdraw an identifier (InvalidResID)",
         "Asks the catalogue service to withdraw RESOURCE_ID. Prints the result code and its\n"
         "meaning: 0 invalidated; 1 not configured; 2 request failed; 3 refused.\n"
         "Exit status 0 for 0 only.",
         true, RunInvalidate},
        {"upload", "FILE", "store FILE on the FTP server (UploadResFile)",
         "Stores FILE on the FTP server of the settings, in the folder chain named after the\n"
         "first eight characters of its name (0123ABCD.tsl goes to 01/23/AB/CD/). Prints the\n"
         "result code and its meaning; exit status 0 only when the file was stored.",
         true, RunUpload},
        {"mkdir", "NAME", "create a folder in the resources folder (CreateUserFolder)",
         "Creates the folder NAME in the library's resources folder (one level) and prints\n"
         "its path.",
         true, RunMkdir},
    };
}

}  // namespace kel::tool
