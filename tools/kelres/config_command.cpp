// kelres config: what the loaded library reads and where it keeps its files.
#include <filesystem>
#include <string>
#include <system_error>

#include "tools/kelres/commands.h"
#include "tools/kelres/folder_sources.h"

namespace kel::tool {
namespace {

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.resize(width, ' ');
    }
    return text;
}

std::string FolderState(const std::string& folder) {
    std::error_code ec;
    return std::filesystem::is_directory(folder, ec) ? "" : "  (not created yet)";
}

int RunConfig(Arguments& args, Context& context) {
    args.Positionals(0, 0);
    const LibrarySettings& settings = *context.settings;
    Console& out = context.console;

    out.Print("library           " + context.library->path());
    std::string file_line = "settings file     " + settings.file();
    if (!context.settings_given.empty()) {
        file_line += "  (a copy of " + context.settings_given + ")";
    }
    if (!settings.file_exists()) {
        file_line += "  (missing: every key has its default)";
    }
    out.Print(file_line);
    out.Print(std::string("test mode         ") +
              (settings.test_mode() ? "on: every key is read with the prefix \"t_\""
                                    : "off: keys are read as they are named"));

    const LibraryFolders folders = FindLibraryFolders();
    out.Print("all users' data   " +
              (folders.common_base.empty() ? std::string("cannot be had") : folders.common_base) +
              CommonBaseOrigin());
    if (folders.common_base.empty()) {
        out.Print("user's data       " +
                  (folders.user_base.empty() ? std::string("cannot be had") : folders.user_base) +
                  UserBaseOrigin());
    }
    out.Print("application data  " + folders.app_data + FolderState(folders.app_data) +
              (folders.in_temporary_folder ? "  (neither base can be had: temporary folder)" : ""));
    out.Print("resources         " + folders.resources + FolderState(folders.resources));

    const char* section = "";
    for (const SettingKey& setting : AllSettingKeys()) {
        if (std::string(section) != setting.section) {
            section = setting.section;
            out.Print("");
            out.Print(std::string("[") + section + "]");
        }
        const std::string value = settings.Value(setting);
        const std::string origin = settings.SetInFile(setting) ? "(file)" : "(default)";
        out.Print(Padded(settings.KeyRead(setting.key), 16) + "= " +
                  Padded("\"" + value + "\"", 20) + " " + Padded(origin, 11) + setting.use);
    }
    return kExitOk;
}

}  // namespace

Command ConfigCommand() {
    return Command{"config",
                   "",
                   "show the settings file, folders and every setting",
                   R"(Prints which settings file the library reads ("Tessel.ini" beside the library
file), whether test mode is on, the application-data and resources folders it uses, and the
value of every key as the library reads it, with where it comes from (the file, or the
default). With --test-mode the "t_" keys are shown; with --config FILE, the private copy of
FILE that the library reads.)",
                   true,
                   RunConfig};
}

}  // namespace kel::tool
