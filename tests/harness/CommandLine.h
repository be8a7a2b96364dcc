// Windows command lines for the programs the tests start.
#pragma once

#include <string>

namespace kel::test {

// One argument of a command line, quoted so that the child's C runtime splits it off unchanged:
// backslashes are doubled only in front of a quote, and the quote is escaped.
std::string QuotedArgument(const std::string& argument);

}  // namespace kel::test
