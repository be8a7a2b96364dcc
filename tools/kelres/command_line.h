// The command line of kelres: options, positional arguments, and the errors a person can act on.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kel::tool {

// Exit status of kelres.
enum ExitCode : int {
    kExitOk = 0,         // the command did what was asked
    kExitFailed = 1,     // the library, a server or a file said no, or a download did not finish
    kExitUsage = 2,      // the command line is wrong
    kExitNoLibrary = 3,  // the library cannot be found or loaded
};

// A wrong command line. command names the command whose --help helps, empty for the tool's own.
class UsageError : public std::runtime_error {
  public:
    UsageError(const std::string& message, std::string command = {})
        : std::runtime_error(message), command_(std::move(command)) {}
    const std::string& command() const { return command_; }

  private:
    std::string command_;
};

// The operation failed; the message says what, naming the file or server.
class CommandError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The arguments of one command. Options are taken out by name, wherever they stand before a
// "--"; what remains are the positional arguments.
class Arguments {
  public:
    Arguments(std::vector<std::string> args, std::string command)
        : args_(std::move(args)), command_(std::move(command)) {}

    // True (and removed) when the flag is present.
    bool TakeFlag(const std::string& name);
    // The value of "--name VALUE" or "--name=VALUE" (the last one when repeated), removed.
    std::optional<std::string> TakeValue(const std::string& name);
    // Every value of a repeatable option, removed.
    std::vector<std::string> TakeValues(const std::string& name);
    // The positional arguments; fails on any option left unrecognised. The count must lie within
    // [min_count, max_count].
    std::vector<std::string> Positionals(std::size_t min_count, std::size_t max_count);

    const std::string& command() const { return command_; }

  private:
    std::size_t OptionsEnd() const;

    std::vector<std::string> args_;
    std::string command_;
};

// A number of seconds above 0 (fractions allowed) from an option's text; a UsageError otherwise.
double ParsePositiveSeconds(const std::string& option, const std::string& text,
                            const std::string& command);

}  // namespace kel::tool
