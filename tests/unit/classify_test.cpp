#include <gtest/gtest.h>

#include <string>

#include "archver.h"
#include "winstub.h"

enum Printed { NOTHING, HINT, HELP };

struct ArgumentCase {
    RunMode mode;
    Printed printed;
    std::string argument;
};

// The first argument of every row of the behaviour table that also runs
// under Wine and on Windows (tests/windows/behaviour.py), written out at
// build time: only the first two bytes count, compared as bytes; letters
// in either case.
static const ArgumentCase ARGUMENT_CASES[] = {
#include "arguments.inc"
};

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
        SCOPED_TRACE("argument \"" + c.argument.substr(0, 20) + "\"");
        // Help and hint are printed while classifying, before any probe.
        testing::internal::CaptureStdout();
        EXPECT_EQ(ClassifyArgument(c.argument.c_str()), c.mode);
        ExpectPrinted(testing::internal::GetCapturedStdout(), c.printed);

        // Nothing measured answers 0, asks Windows nothing, prints no more.
        if (c.mode == RUN_NONE) {
            Script = WindowsScript();
            Script.wow64Flag = 1;
            std::string printed;
            EXPECT_EQ(RunCapturing(c.argument.c_str(), printed), 0);
            ExpectPrinted(printed, c.printed);
            EXPECT_EQ(Script.processPassed, nullptr);
            EXPECT_EQ(Script.versionQueries, 0);
        }
    }
}
