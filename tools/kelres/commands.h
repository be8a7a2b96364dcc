// The commands of kelres and what they are given.
#pragma once

#include <string>
#include <vector>

#include "tools/kelres/command_line.h"
#include "tools/kelres/console.h"
#include "tools/kelres/library.h"
#include "tools/kelres/library_settings.h"

namespace kel::tool {

// What a command runs with. library and settings are set for the commands that need the library.
struct Context {
    explicit Context(Console& console_to_use) : console(console_to_use) {}

    Console& console;
    ResMgrLibrary* library = nullptr;
    const LibrarySettings* settings = nullptr;
    std::string settings_given;  // the file given with --config, if any
    // Set by a command that leaves download workers of the library running: the library must
    // then not be unloaded, and kelres ends without unloading it.
    bool workers_may_run = false;
};

struct Command {
    const char* name;
    const char* synopsis;  // arguments, for the overview
    const char* summary;   // one line, for the overview
    const char* help;      // the text of `kelres <name> --help`, after the usage line
    bool needs_library;
    int (*run)(Arguments& args, Context& context);  // an ExitCode
};

Command GetCommand();
std::vector<Command> ServiceCommands();  // catalogue, upload, mkdir
Command ConfigCommand();
std::vector<Command> PackageCommands();  // pack, publish, check
std::vector<Command> SigningCommands();  // keygen, sign

}  // namespace kel::tool
