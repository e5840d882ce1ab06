#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archver.h"
#include "winstub.h"

enum Printed { NOTHING, HINT, HELP };

struct ArgumentCase {
    RunMode mode;
    Printed printed;
    std::vector<std::string> arguments;
};

static const std::string LONG_TAIL(1022, 'x'); // with two more bytes, past the buffer

// Only the first two bytes count, compared as bytes; letters in either case.
// clang-format off
static const ArgumentCase ARGUMENT_CASES[] = {
    {.mode = RUN_NONE, .printed = HELP, .arguments = {"/?", "-?", "/?/b"}},
    {.mode = RUN_NONE, .printed = HINT, .arguments = {"?", "", "x", "h", "1", "x/b", " /w", "\t/w", "\"/w", "\xe9",
                                                      "\xe9w", std::string(1024, '?')}},
    {.mode = RUN_BITS_TWO_DIGIT, .printed = NOTHING, .arguments = {"/", "-", "/v", "-V", "v", "Verbose", "/h", "-help",
                                                                   "/1", "//", "/\xe9", "/\""}},
    {.mode = RUN_BITS_ONE_DIGIT, .printed = NOTHING, .arguments = {"/b", "-B", "b", "bogus", "/b" + LONG_TAIL}},
    {.mode = RUN_VERSION_CODE, .printed = NOTHING, .arguments = {"/o", "-O", "o"}},
    {.mode = RUN_VERSION_REPORT, .printed = NOTHING, .arguments = {"/w", "-W", "W", std::string(30001, 'w')}},
};
// clang-format on

static void ExpectPrinted(const std::string &printed, Printed what)
{
    if (what == NOTHING) {
        EXPECT_EQ(printed, "");
    } else if (what == HINT) {
        EXPECT_EQ(printed, "Please TypeIn:  archver.exe /? \n");
    } else {
        EXPECT_EQ(printed.substr(0, 18), "Help: archver.exe\n");
        EXPECT_EQ(printed.size(), 861u);
        EXPECT_EQ(printed.substr(printed.size() - 21), "(32-bit or 64-bit).\n\n");
    }
}

TEST(ClassifyArgument, Table)
{
    for (const ArgumentCase &c : ARGUMENT_CASES) {
        for (const std::string &argument : c.arguments) {
            SCOPED_TRACE("argument \"" + argument.substr(0, 20) + "\"");
            // Help and hint are printed while classifying, before any probe.
            testing::internal::CaptureStdout();
            EXPECT_EQ(ClassifyArgument(argument.c_str()), c.mode);
            ExpectPrinted(testing::internal::GetCapturedStdout(), c.printed);

            // Nothing measured answers 0, asks Windows nothing, prints no more.
            if (c.mode == RUN_NONE) {
                Script = WindowsScript();
                Script.wow64Flag = 1;
                std::string printed;
                EXPECT_EQ(RunCapturing(argument.c_str(), printed), 0);
                ExpectPrinted(printed, c.printed);
                EXPECT_EQ(Script.processPassed, nullptr);
                EXPECT_EQ(Script.versionQueries, 0);
            }
        }
    }
}
