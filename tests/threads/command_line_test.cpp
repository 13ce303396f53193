// Thread::GetCommandLineA: the examples, every flag combination on lines of
// every shape, buffer sizes at the edge, a property check against a small
// model of the selection table, and the real command line of a helper.
#include <gtest/gtest.h>

#include <rvsysutils/Thread.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "threads/command_line.h"

namespace {

struct Outcome {
    int result;
    std::string text;  // what the buffer holds afterwards
};

constexpr char kUntouched[] = "untouched";

Outcome Copy(const std::string& line, bool include, bool first, bool nameOnly, unsigned size = 512) {
    std::vector<char> buffer(size + 1, '#');
    std::memcpy(buffer.data(), kUntouched, std::min<std::size_t>(sizeof kUntouched, buffer.size()));
    buffer[size] = '\0';
    const int result = rvsys::detail::CopyCommandLine(line.c_str(), buffer.data(), size, include, first, nameOnly);
    return {result, std::string(buffer.data())};
}

// The selection table, written as the cases a reader checks by hand: find the
// pieces of the line first, then pick. `nullopt`-like: text empty and copied
// false when nothing is copied.
struct Expected {
    int result;
    bool copies;
    std::string text;
};

Expected Model(const std::string& line, bool include, bool first, bool nameOnly) {
    const auto q1 = line.find('"');
    if (q1 == std::string::npos) return {-1, false, ""};
    const auto q2 = line.find('"', q1 + 1);
    if (q2 == std::string::npos) return {-1, false, ""};
    const std::string unquoted = line.substr(0, q1) + line.substr(q1 + 1, q2 - q1 - 1) + line.substr(q2 + 1);
    // Positions are taken in the line itself; with nameOnly the text is cut
    // from the unquoted line, two characters earlier.
    const auto sep = line.find(' ', q2 + 1);
    const bool hasSep = sep != std::string::npos;
    const std::string args = hasSep ? line.substr(sep + 1) : "";
    int spaces = 0;
    for (char c : args) spaces += c == ' ';
    if (include && nameOnly) return {0, true, hasSep ? unquoted.substr(0, sep - 2) : unquoted};
    if (include && first) {
        if (!hasSep) return {1, true, unquoted};
        const auto next = line.find(' ', sep + 1);
        return {1, true, next == std::string::npos ? line : line.substr(0, next)};
    }
    if (include) return hasSep ? Expected{1 + spaces, true, line} : Expected{0, true, unquoted};
    if (!hasSep || args.empty()) return {0, false, ""};
    if (first) return {1, true, args.substr(0, args.find(' '))};
    return {1 + spaces, true, args};
}

void ExpectMatchesModel(const std::string& line, bool include, bool first, bool nameOnly, unsigned size) {
    const Expected expected = Model(line, include, first, nameOnly);
    const Outcome got = Copy(line, include, first, nameOnly, size);
    const bool fits = expected.text.size() < size;
    SCOPED_TRACE("line [" + line + "] include " + std::to_string(include) + " first " + std::to_string(first) +
                 " nameOnly " + std::to_string(nameOnly) + " size " + std::to_string(size));
    if (expected.result == -1 || (expected.copies && !fits)) {
        EXPECT_EQ(got.result, -1);
        EXPECT_EQ(got.text, std::string(kUntouched).substr(0, size));
    } else if (!expected.copies) {
        EXPECT_EQ(got.result, expected.result);
        EXPECT_EQ(got.text, std::string(kUntouched).substr(0, size));
    } else {
        EXPECT_EQ(got.result, expected.result);
        EXPECT_EQ(got.text, expected.text);
    }
}

const std::string kExample = "\"C:\\Program Files\\app.exe\" -a -b";

}  // namespace

TEST(CommandLine, ExampleLineGivesEachPart) {
    EXPECT_EQ(Copy(kExample, true, false, true).text, "C:\\Program Files\\app.exe");
    EXPECT_EQ(Copy(kExample, true, true, true).result, 0);
    Outcome whole = Copy(kExample, true, false, false);
    EXPECT_EQ(whole.result, 2);
    EXPECT_EQ(whole.text, kExample);
    Outcome arguments = Copy(kExample, false, false, false);
    EXPECT_EQ(arguments.result, 2);
    EXPECT_EQ(arguments.text, "-a -b");
    Outcome firstArgument = Copy(kExample, false, true, false);
    EXPECT_EQ(firstArgument.result, 1);
    EXPECT_EQ(firstArgument.text, "-a");
    Outcome programAndFirst = Copy(kExample, true, true, false);
    EXPECT_EQ(programAndFirst.result, 1);
    EXPECT_EQ(programAndFirst.text, "\"C:\\Program Files\\app.exe\" -a");
}

TEST(CommandLine, LinesWithoutArgumentsAndOddSpacing) {
    const std::string path = "\"C:\\app.exe\"";
    EXPECT_EQ(Copy(path, true, false, false).result, 0);
    EXPECT_EQ(Copy(path, true, false, false).text, "C:\\app.exe");
    EXPECT_EQ(Copy(path, true, true, false).result, 1);
    EXPECT_EQ(Copy(path, true, true, false).text, "C:\\app.exe");
    for (const std::string& line : {path, path + " "}) {
        const Outcome none = Copy(line, false, false, false, 0);  // size not even compared
        EXPECT_EQ(none.result, 0);
        EXPECT_EQ(none.text, "");
        EXPECT_EQ(Copy(line, false, true, true).text, kUntouched);
    }
    EXPECT_EQ(Copy(path + " ", true, false, false).result, 1);
    EXPECT_EQ(Copy(path + " ", true, false, false).text, path + " ");

    const Outcome doubled = Copy(path + "  -a", false, false, false);
    EXPECT_EQ(doubled.result, 2);  // the leading space counts
    EXPECT_EQ(doubled.text, " -a");
    EXPECT_EQ(Copy(path + "  -a", false, true, false).result, 1);
    EXPECT_EQ(Copy(path + "  -a", false, true, false).text, "");
    EXPECT_EQ(Copy(path + " -a ", false, false, false).result, 2);  // the trailing space counts
    EXPECT_EQ(Copy(path + " a\tb", false, false, false).result, 1);  // a tab is no separator
}

TEST(CommandLine, QuotesDecideWhereTheProgramEnds) {
    for (bool include : {false, true}) {
        for (bool first : {false, true}) {
            for (bool nameOnly : {false, true}) {
                EXPECT_EQ(Copy("app.exe -a -b", include, first, nameOnly).result, -1);
                EXPECT_EQ(Copy("\"app.exe -a", include, first, nameOnly).result, -1);
                EXPECT_EQ(Copy("\"app.exe -a", include, first, nameOnly).text, kUntouched);
            }
        }
    }
    // Unquoted program, quoted argument: that argument's quotes count.
    const Outcome shifted = Copy("app.exe \"x y\" -z", false, false, false);
    EXPECT_EQ(shifted.result, 1);
    EXPECT_EQ(shifted.text, "-z");
    // An empty quoted path: the closing quote follows the opening one at once.
    EXPECT_EQ(Copy("\"\" -a", true, false, true).text, "");
    EXPECT_EQ(Copy("\"\" -a", false, false, true).text, "-a");
    EXPECT_EQ(Copy("\"\" -a", false, false, false).result, 1);
}

TEST(CommandLine, TextMustFitWithItsTerminator) {
    for (bool include : {false, true}) {
        for (bool first : {false, true}) {
            for (bool nameOnly : {false, true}) {
                const Expected expected = Model(kExample, include, first, nameOnly);
                const auto length = static_cast<unsigned>(expected.text.size());
                ExpectMatchesModel(kExample, include, first, nameOnly, length);      // one short: -1
                ExpectMatchesModel(kExample, include, first, nameOnly, length + 1);  // exactly enough
                EXPECT_EQ(Copy(kExample, include, first, nameOnly, length + 1).text, expected.text);
                EXPECT_EQ(Copy(kExample, include, first, nameOnly, length).result, -1);
            }
        }
    }
}

TEST(CommandLine, EveryFlagCombinationOnEveryShapeMatchesTheTable) {
    const std::vector<std::string> lines = {
        "\"p\"",        "\"p\" ",        "\"p\" a",     "\"p\" a b c", "\"p\"  a",   "\"p\" a ",  "\"p\"a b",
        "\"p q\" a",    "p",             "\"p",         "p \"a\" b",   "\"\" a",     "\"\"",      "\"p\" \"a b\" c",
        "x\"p\" a b",   "\"p\"\t a",     "\"p\" a\"b\"", "",           "\"p\"   ",  " \"p\" a",
    };
    for (const std::string& line : lines) {
        for (int flags = 0; flags < 8; ++flags) {
            const bool include = (flags & 1) != 0, first = (flags & 2) != 0, nameOnly = (flags & 4) != 0;
            for (unsigned size : {0u, 1u, 3u, 512u}) ExpectMatchesModel(line, include, first, nameOnly, size);
        }
    }
}

TEST(CommandLine, RandomLinesMatchTheTable) {
    std::mt19937 random(12345);
    const char alphabet[] = {'"', ' ', ' ', 'a', 'b', '\t', '\\'};
    for (int trial = 0; trial < 20000; ++trial) {
        std::string line;
        const int length = static_cast<int>(random() % 14);
        for (int i = 0; i < length; ++i) line += alphabet[random() % sizeof alphabet];
        const auto flags = static_cast<unsigned>(random() % 8);
        const auto size = static_cast<unsigned>(random() % static_cast<unsigned>(length + 3));
        ExpectMatchesModel(line, (flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0, size);
        if (::testing::Test::HasFailure()) return;
    }
}

RVSYS_HELPER(print_command_line) {
    char buffer[512];
    const int all = Thread::GetCommandLineA(buffer, sizeof buffer, true, false, false);
    std::string report = std::to_string(all) + "|" + buffer + "|";
    const int program = Thread::GetCommandLineA(buffer, sizeof buffer, true, false, true);
    report += std::to_string(program) + "|" + buffer;
    rvsys::test::WriteOut(report);
    return 0;
}

// Linux rebuilds the line from the arguments; on Windows it is the line the
// process was started with, which the test support writes by the same rules.
TEST(CommandLine, TheProcessLineQuotesTheProgramAndOnlyArgumentsThatNeedIt) {
    std::string output;
    ASSERT_EQ(rvsys::test::RunHelper("print_command_line", &output,
                                     {"two words", "", "say \"hi\"", "tail\\", "back\\\\\"q"}, "my prog"),
              0);
    const std::string line =
        R"("my prog" --rvsys-helper=print_command_line "two words" "" "say \"hi\"" tail\ "back\\\\\"q")";
    EXPECT_EQ(output, "8|" + line + "|0|my prog");  // every space after the separator counts
}
