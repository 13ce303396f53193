// How a program's arguments are written into a Windows command line so that
// the runtime splits it back into the same arguments. Standard C++ only: the
// Linux layer rebuilds GetCommandLineA's line with it, and the tests start
// helper processes on Windows with it.
#ifndef RVSYS_PLATFORM_QUOTING_H
#define RVSYS_PLATFORM_QUOTING_H

#include <string>

namespace rvsys::platform {

// The argument as it is, or in double quotes when it is empty or holds a
// space, tab or double quote.
inline std::string QuotedArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only before a double quote.
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, '\\');
    quoted += '"';
    return quoted;
}

}  // namespace rvsys::platform

#endif  // RVSYS_PLATFORM_QUOTING_H
