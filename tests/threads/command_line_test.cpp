// Thread::GetCommandLineA: hand-checked cases pin a small model of the
// selection table, which then checks every flag combination on random lines
// at the edge buffer sizes; then the process's own line.
#include <rvsysutils/Thread.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "threads/command_line.h"

using namespace rvsys::test;

namespace {

using Result = std::pair<int, std::optional<std::string>>;  // no text: the buffer is left untouched
constexpr int kInclude = 1, kFirst = 2, kNameOnly = 4;

Result Copy(const std::string& line, int flags, unsigned size = 512) {
    std::vector<char> buffer(size + 1, '#');
    buffer[size] = '\0';
    const int result = rvsys::detail::CopyCommandLine(line.c_str(), buffer.data(), size, flags & kInclude,
                                                      flags & kFirst, flags & kNameOnly);
    const std::string text = buffer.data();
    return {result, text == std::string(size, '#') ? std::nullopt : std::optional(text)};
}

// The table as a reader applies it by hand: find the quotes, the separator and
// the arguments, then pick.
Result Model(const std::string& line, int flags) {
    const auto q1 = line.find('"');
    const auto q2 = q1 == std::string::npos ? q1 : line.find('"', q1 + 1);
    if (q2 == std::string::npos) return {-1, std::nullopt};
    const std::string unquoted = line.substr(0, q1) + line.substr(q1 + 1, q2 - q1 - 1) + line.substr(q2 + 1);
    const auto sep = line.find(' ', q2 + 1);
    const bool hasSep = sep != std::string::npos;
    const std::string args = hasSep ? line.substr(sep + 1) : "";
    const int count = 1 + static_cast<int>(std::count(args.begin(), args.end(), ' '));
    if ((flags & kInclude) && (flags & kNameOnly)) return {0, hasSep ? unquoted.substr(0, sep - 2) : unquoted};
    if ((flags & kInclude) && (flags & kFirst))
        return {1, hasSep ? line.substr(0, line.find(' ', sep + 1)) : unquoted};
    if (flags & kInclude) return hasSep ? Result{count, line} : Result{0, unquoted};
    if (args.empty()) return {0, std::nullopt};
    return (flags & kFirst) ? Result{1, args.substr(0, args.find(' '))} : Result{count, args};
}

}  // namespace

TEST(CommandLine, HandCheckedCasesHoldForTheFunctionAsForTheModel) {
    const std::string example = R"("C:\Program Files\app.exe" -a -b)";
    const struct {
        std::string line;
        int flags;
        Result expected;
    } cases[] = {
        {example, kInclude | kNameOnly, {0, R"(C:\Program Files\app.exe)"}},
        {example, kInclude, {2, example}},
        {example, kInclude | kFirst, {1, R"("C:\Program Files\app.exe" -a)"}},
        {example, kFirst, {1, "-a"}},
        {R"("C:\app.exe")", kInclude, {0, R"(C:\app.exe)"}},
        {R"("C:\app.exe" )", 0, {0, std::nullopt}},
        {"\"p\"  -a\tb ", 0, {3, " -a\tb "}},   // every space counts, doubled or trailing, but not a tab
        {R"(app.exe "x y" -z)", 0, {1, "-z"}},  // the first two quotes count, wherever they are
        {R"("app.exe -a)", kInclude, {-1, std::nullopt}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("line [" + c.line + "] flags " + std::to_string(c.flags));
        EXPECT_EQ(Copy(c.line, c.flags), c.expected);
        EXPECT_EQ(Model(c.line, c.flags), c.expected);
    }
}

// Random lines of quotes, spaces, tabs and letters, with every flag
// combination and buffers of 0, 1, the text's length, one more, and plenty; a
// text that does not fit with its terminator fails with -1, leaving the buffer.
TEST(CommandLine, RandomLinesMatchTheModel) {
    std::mt19937 random(12345);  // NOLINT(cert-msc51-cpp): a fixed seed makes a failure repeatable
    const char alphabet[] = {'"', ' ', ' ', 'a', 'b', '\t', '\\'};
    for (int trial = 0; trial < 5000 && !::testing::Test::HasFailure(); ++trial) {
        std::string line;
        for (auto length = random() % 14; length > 0; --length) line += alphabet[random() % sizeof alphabet];
        for (int flags = 0; flags < 8; ++flags) {
            const Result model = Model(line, flags);
            const auto text = static_cast<unsigned>(model.second.value_or("").size());
            for (unsigned size : {0u, 1u, text, text + 1, 512u}) {
                const Result expected = model.second && text >= size ? Result{-1, std::nullopt} : model;
                EXPECT_EQ(Copy(line, flags, size), expected)
                    << "[" << line << "] flags " << flags << " size " << size;
            }
        }
    }
}

RVSYS_HELPER(print_command_line) {
    char all[512], program[512];
    const int count = Thread::GetCommandLineA(all, sizeof all, true, false, false);
    const int none = Thread::GetCommandLineA(program, sizeof program, true, false, true);
    WriteOut(std::to_string(count) + "|" + all + "|" + std::to_string(none) + "|" + program);
    return 0;
}

// The process's line: the program quoted, and only the arguments that need it
// quoted by the Windows rules (Linux rebuilds the line from its arguments; the
// Windows test support starts helpers with a line written by the same rules).
TEST(CommandLine, TheProcessLineQuotesOnlyWhatNeedsQuotes) {
    std::string output;
    ASSERT_EQ(
        RunHelper("print_command_line", &output, {"two words", "", "say \"hi\"", "tail\\", "back\\\\\"q"}, "my prog"),
        0);
    const std::string line =
        R"("my prog" --rvsys-helper=print_command_line "two words" "" "say \"hi\"" tail\ "back\\\\\"q")";
    EXPECT_EQ(output, "8|" + line + "|0|my prog");  // every space after the separator counts
}
