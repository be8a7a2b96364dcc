#include "tools/kelres/command_line.h"

#include <charconv>
#include <cmath>

namespace kel::tool {

std::size_t Arguments::OptionsEnd() const {
    for (std::size_t i = 0; i < args_.size(); ++i) {
        if (args_[i] == "--") {
            return i;
        }
    }
    return args_.size();
}

bool Arguments::TakeFlag(const std::string& name) {
    bool found = false;
    for (std::size_t i = 0; i < OptionsEnd();) {
        if (args_[i] == name) {
            args_.erase(args_.begin() + static_cast<std::ptrdiff_t>(i));
            found = true;
        } else {
            ++i;
        }
    }
    return found;
}

std::vector<std::string> Arguments::TakeValues(const std::string& name) {
    std::vector<std::string> values;
    const std::string joined = name + "=";
    for (std::size_t i = 0; i < OptionsEnd();) {
        const auto at = args_.begin() + static_cast<std::ptrdiff_t>(i);
        if (args_[i].rfind(joined, 0) == 0) {
            values.push_back(args_[i].substr(joined.size()));
            args_.erase(at);
        } else if (args_[i] == name) {
            if (i + 1 >= OptionsEnd()) {
                throw UsageError(name + " needs a value", command_);
            }
            values.push_back(args_[i + 1]);
            args_.erase(at, at + 2);
        } else {
            ++i;
        }
    }
    return values;
}

std::optional<std::string> Arguments::TakeValue(const std::string& name) {
    std::vector<std::string> values = TakeValues(name);
    if (values.empty()) {
        return std::nullopt;
    }
    return values.back();
}

std::vector<std::string> Arguments::Positionals(std::size_t min_count, std::size_t max_count) {
    std::vector<std::string> positionals;
    const std::size_t end = OptionsEnd();
    for (std::size_t i = 0; i < args_.size(); ++i) {
        if (i == end) {
            continue;  // the "--" itself
        }
        // "-" alone is an ordinary argument; anything else with a leading dash before "--" is an
        // option this command does not know.
        if (i < end && args_[i].size() > 1 && args_[i][0] == '-') {
            throw UsageError("unknown option " + args_[i], command_);
        }
        positionals.push_back(args_[i]);
    }
    const std::string who = command_.empty() ? "kelres" : "kelres " + command_;
    if (positionals.size() < min_count) {
        throw UsageError(who + ": missing arguments", command_);
    }
    if (positionals.size() > max_count) {
        throw UsageError(who + ": too many arguments (" + positionals[max_count] + ")", command_);
    }
    return positionals;
}

double ParsePositiveSeconds(const std::string& option, const std::string& text,
                            const std::string& command) {
    double seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(seconds) ||
        seconds <= 0) {
        throw UsageError(option + " wants a number of seconds above 0, not \"" + text + "\"",
                         command);
    }
    return seconds;
}

}  // namespace kel::tool
