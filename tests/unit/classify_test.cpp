#include <gtest/gtest.h>

#include "archver.h"
#include "winstub.h"

struct ArgumentCase {
    std::string argument;
    RunMode mode;
};

static const std::string LONG_TAIL(1022, 'x'); // with two more bytes, past the buffer

// Only the first two bytes count, compared as bytes; letters in either case.
static const ArgumentCase ARGUMENT_CASES[] = {
    {.argument = "/?", .mode = RUN_HELP},
    {.argument = "-?", .mode = RUN_HELP},
    {.argument = "/?/b", .mode = RUN_HELP},
    {.argument = "?", .mode = RUN_HINT},
    {.argument = "", .mode = RUN_HINT},
    {.argument = "h", .mode = RUN_HINT},
    {.argument = "1", .mode = RUN_HINT},
    {.argument = "x/b", .mode = RUN_HINT},
    {.argument = " /w", .mode = RUN_HINT},
    {.argument = "\t/w", .mode = RUN_HINT},
    {.argument = "\"/w", .mode = RUN_HINT},
    {.argument = "\xe9", .mode = RUN_HINT},
    {.argument = "\xe9w", .mode = RUN_HINT},
    {.argument = "/", .mode = RUN_BITS_TWO_DIGIT},
    {.argument = "-", .mode = RUN_BITS_TWO_DIGIT},
    {.argument = "/v", .mode = RUN_BITS_TWO_DIGIT},
    {.argument = "-V", .mode = RUN_BITS_TWO_DIGIT},
    {.argument = "v", .mode = RUN_BITS_TWO_DIGIT},
    {.argument = "Verbose", .mode = RUN_BITS_TWO_DIGIT},
    {.argument = "/h", .mode = RUN_BITS_TWO_DIGIT},
    {.argument = "-help", .mode = RUN_BITS_TWO_DIGIT},
    {.argument = "/1", .mode = RUN_BITS_TWO_DIGIT},
    {.argument = "//", .mode = RUN_BITS_TWO_DIGIT},
    {.argument = "/\xe9", .mode = RUN_BITS_TWO_DIGIT},
    {.argument = "/\"", .mode = RUN_BITS_TWO_DIGIT},
    {.argument = "/b", .mode = RUN_BITS_ONE_DIGIT},
    {.argument = "-B", .mode = RUN_BITS_ONE_DIGIT},
    {.argument = "b", .mode = RUN_BITS_ONE_DIGIT},
    {.argument = "bogus", .mode = RUN_BITS_ONE_DIGIT},
    {.argument = "/o", .mode = RUN_VERSION_CODE},
    {.argument = "-O", .mode = RUN_VERSION_CODE},
    {.argument = "o", .mode = RUN_VERSION_CODE},
    {.argument = "/w", .mode = RUN_VERSION_REPORT},
    {.argument = "-W", .mode = RUN_VERSION_REPORT},
    {.argument = "W", .mode = RUN_VERSION_REPORT},
    {.argument = "/b" + LONG_TAIL, .mode = RUN_BITS_ONE_DIGIT},
    {.argument = "w" + std::string(30000, 'w'), .mode = RUN_VERSION_REPORT},
    {.argument = std::string(1024, '?'), .mode = RUN_HINT},
};

static const char HINT[] = "Please TypeIn:  archver.exe /? \n";

TEST(ClassifyArgument, Table)
{
    for (const ArgumentCase &c : ARGUMENT_CASES) {
        SCOPED_TRACE("argument \"" + c.argument.substr(0, 20) + "\"");
        // Classifying prints nothing; help and hint are printed by the run.
        testing::internal::CaptureStdout();
        EXPECT_EQ(ClassifyArgument(c.argument.c_str()), c.mode);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

        if (c.mode == RUN_HELP || c.mode == RUN_HINT) {
            Script = WindowsScript();
            std::string printed;
            EXPECT_EQ(RunCapturing(c.argument.c_str(), printed), 0);
            if (c.mode == RUN_HINT) {
                EXPECT_EQ(printed, HINT);
            } else {
                EXPECT_EQ(printed.substr(0, 18), "Help: archver.exe\n");
                EXPECT_EQ(printed.size(), 861u);
                EXPECT_EQ(printed.substr(printed.size() - 21), "(32-bit or 64-bit).\n\n");
            }
        }
    }
}
