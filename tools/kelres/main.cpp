// kelres: a command-line host of the library (libKELResMgr.so, KELResMgr.dll).
//
// It uses the library exactly as the desktop client does: it loads the library file at run
// time, resolves the exports by name, creates a message receiver for the notifications,
// and calls the exports. `kelres --help` lists the commands.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tools/kelres/commands.h"

namespace kel::tool {
namespace {

constexpr char kOptionsHelp[] = R"(
  --config FILE    run with FILE as the library's settings file: the library reads
                   "Tessel.ini" beside itself, so kelres loads a private copy of the library
                   with a copy of FILE beside it
  --test-mode      switch the library's test mode on (SetTestMode): every setting is then
                   read from its "t_" key
  -V, --version    kelres's version, and the library it would load with that library's
                   version (read from the file, which is not loaded)
  -h, --help       this text; 'kelres COMMAND --help' describes one command)";

constexpr char kExitHelp[] =
    "Exit status: 0 done; 1 the operation failed (get: a resource was not unpacked);\n"
    "2 bad command line; 3 the library cannot be found or loaded.";

std::vector<Command> AllCommands() {
    std::vector<Command> commands = {GetCommand()};
    for (auto& group : {ServiceCommands(), std::vector<Command>{ConfigCommand()}, PackageCommands(),
                        SigningCommands()}) {
        commands.insert(commands.end(), group.begin(), group.end());
    }
    return commands;
}

const Command* FindCommand(const std::vector<Command>& commands, const std::string& name) {
    for (const Command& command : commands) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

void PrintOverview(const std::vector<Command>& commands) {
    std::printf(
        "Usage: kelres [OPTIONS] COMMAND [ARGUMENTS]\n\n"
        "Drives %s, the resource manager library, the way the client does: it\n"
        "loads the library at run time and calls its exports.\n\nCommands:\n",
        kLibraryFileName);
    for (const Command& command : commands) {
        const std::string usage = std::string(command.name) + " " + command.synopsis;
        std::printf("  %-40s %s%s\n", usage.c_str(), command.summary,
                    command.needs_library ? "" : " (no library needed)");
    }
    std::printf("\nOptions (anywhere before \"--\"):\n  --library PATH%s%s\n\n%s\n",
                loader::kLibraryDefaultHelp, kOptionsHelp, kExitHelp);
}

void PrintCommandHelp(const Command& command) {
    std::printf("Usage: kelres [OPTIONS] %s %s\n\n%s\n\n%s\n", command.name, command.synopsis,
                command.help, kExitHelp);
}

// The command word: the first argument that is neither an option nor an option's value.
std::optional<std::size_t> CommandPosition(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") {
            return std::nullopt;
        }
        if (args[i] == "--library" || args[i] == "--config") {
            ++i;  // skip the value
        } else if (args[i].empty() || args[i][0] != '-') {
            return i;
        }
    }
    return std::nullopt;
}

// kelres --version: one line for the tool, one for the library that a command would load. The
// library's version is read from its file, so a library that would not load still shows.
int PrintVersions(const std::optional<std::string>& library_option, Console& console) {
    console.Print(std::string("kelres ") + KELRES_VERSION);
    const std::string path = FindLibrary(library_option);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        throw LibraryError("cannot find the library " + path + ": no such file");
    }
    const loader::FileVersion library = loader::ReadFileVersion(path);
    if (library.version.empty()) {
        console.Print("library " + library.file + " (no version: " + library.reason + ")");
    } else {
        console.Print("library " + library.file + " " + library.version);
    }
    return kExitOk;
}

// Everything the library-driving commands share, set up in this order and torn down in reverse:
// the private folder (--config) outlives the library loaded from it.
struct LoadedLibrary {
    std::unique_ptr<PrivateLibraryFolder> private_folder;
    std::unique_ptr<ResMgrLibrary> library;
    std::unique_ptr<LibrarySettings> settings;
};

LoadedLibrary LoadResMgr(const std::optional<std::string>& library_option,
                         const std::optional<std::string>& config_option, bool test_mode) {
    LoadedLibrary loaded;
    std::string path = FindLibrary(library_option);
    if (config_option) {
        loaded.private_folder = std::make_unique<PrivateLibraryFolder>(path, *config_option);
        path = loaded.private_folder->library_path();
    }
    loaded.library = std::make_unique<ResMgrLibrary>(path);
    if (test_mode) {
        loaded.library->SetTestMode(true);
    }
    loaded.settings = std::make_unique<LibrarySettings>(
        reinterpret_cast<const void*>(loaded.library->SetTestMode), test_mode);
    return loaded;
}

int Run(std::vector<std::string> args, Console& console) {
    const std::vector<Command> commands = AllCommands();
    const std::optional<std::size_t> position = CommandPosition(args);
    std::string name;
    if (position) {
        name = args[*position];
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(*position));
    }
    const Command* command = FindCommand(commands, name);
    if (position && command == nullptr) {
        throw UsageError("unknown command \"" + name + "\"");
    }

    Arguments arguments(std::move(args), name);
    const bool long_help = arguments.TakeFlag("--help");
    const bool help = arguments.TakeFlag("-h") || long_help;
    const std::optional<std::string> library_option = arguments.TakeValue("--library");
    const std::optional<std::string> config_option = arguments.TakeValue("--config");
    const bool test_mode = arguments.TakeFlag("--test-mode");
    const bool long_version = arguments.TakeFlag("--version");
    if (arguments.TakeFlag("-V") || long_version) {
        return PrintVersions(library_option, console);
    }
    if (command == nullptr) {
        if (!help) {
            arguments.Positionals(0, 0);  // an unknown option is the likelier mistake
            throw UsageError("no command given");
        }
        PrintOverview(commands);
        return kExitOk;
    }
    if (help) {
        PrintCommandHelp(*command);
        return kExitOk;
    }

    Context context(console);
    if (!command->needs_library) {
        return command->run(arguments, context);
    }
    LoadedLibrary loaded = LoadResMgr(library_option, config_option, test_mode);
    context.library = loaded.library.get();
    context.settings = loaded.settings.get();
    context.settings_given = config_option.value_or("");
    const int status = command->run(arguments, context);
    if (context.workers_may_run) {
        // A download worker of the library may still be running: unloading the library, or
        // running its destructors at exit, would pull its code and data from under it. End
        // without either, after removing the private folder (a loaded file may be removed; on
        // Windows it may not, and the library's copy and its folder stay behind).
        loaded.private_folder.reset();
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

}  // namespace

int Main(int argc, char** argv) {
    Console console;
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc), console);
    } catch (const UsageError& error) {
        console.Error(error.what());
        const std::string help =
            error.command().empty() ? "kelres --help" : "kelres " + error.command() + " --help";
        std::fprintf(stderr, "Try '%s'.\n", help.c_str());
        return kExitUsage;
    } catch (const LibraryError& error) {
        console.Error(error.what());
        return kExitNoLibrary;
    } catch (const std::exception& error) {
        console.Error(error.what());
        return kExitFailed;
    }
}

}  // namespace kel::tool

int main(int argc, char** argv) {
    return kel::tool::Main(argc, argv);
}
