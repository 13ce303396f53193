#include <rvsysutils/Thread.h>

#include <cstring>
#include <new>
#include <string>

#include "../platform/platform.h"
#include "command_line.h"

namespace rvsys::detail {

namespace {

constexpr auto kNone = std::string::npos;

int CountSpaces(const std::string& text, std::size_t from) {
    int spaces = 0;
    for (std::size_t i = from; i < text.size(); ++i) spaces += text[i] == ' ' ? 1 : 0;
    return spaces;
}

// The line without its first two double quotes (there are always two here).
std::string WithoutFirstTwoQuotes(std::string line) {
    for (int removed = 0; removed < 2; ++removed) line.erase(line.find('"'), 1);
    return line;
}

}  // namespace

int CopyCommandLine(const char* line, char* buffer, unsigned int size, bool includeProgramName,
                    bool firstArgumentOnly, bool programNameOnly) {
    if (buffer == nullptr) size = 0;  // nothing fits: fails whenever something would be copied
    try {
        std::string work = line != nullptr ? line : "";
        const std::size_t open = work.find('"');
        if (open == kNone) return -1;
        const std::size_t close = work.find('"', open + 1);
        if (close == kNone) return -1;
        std::size_t searchFrom = close + 1;
        if (programNameOnly) {
            work.erase(close, 1);
            work.erase(open, 1);
            searchFrom = close - 1;  // where the character after the closing quote now stands
        }
        const std::size_t separator = work.find(' ', searchFrom);
        const bool hasSeparator = separator != kNone;

        std::string text;
        int result;
        if (includeProgramName) {
            if (programNameOnly) {
                text = hasSeparator ? work.substr(0, separator) : work;
                result = 0;
            } else if (firstArgumentOnly) {
                text = hasSeparator ? work.substr(0, work.find(' ', separator + 1)) : WithoutFirstTwoQuotes(work);
                result = 1;
            } else {
                text = hasSeparator ? work : WithoutFirstTwoQuotes(work);
                result = hasSeparator ? 1 + CountSpaces(work, separator + 1) : 0;
            }
        } else {
            // No argument text: nothing is copied and the size is not compared.
            if (!hasSeparator || separator + 1 == work.size()) return 0;
            const std::string arguments = work.substr(separator + 1);
            if (firstArgumentOnly) {
                text = arguments.substr(0, arguments.find(' '));
                result = 1;
            } else {
                text = arguments;
                result = 1 + CountSpaces(arguments, 0);
            }
        }
        if (text.size() >= size) return -1;  // the text and its terminator must fit
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return result;
    } catch (const std::bad_alloc&) {
        return -1;  // out of memory for the working copy
    }
}

}  // namespace rvsys::detail

namespace Thread {

int GetCommandLineA(char* buffer, unsigned int size, bool includeProgramName, bool firstArgumentOnly,
                    bool programNameOnly) {
    return rvsys::detail::CopyCommandLine(rvsys::platform::GetCommandLineA(), buffer, size, includeProgramName,
                                          firstArgumentOnly, programNameOnly);
}

}  // namespace Thread
