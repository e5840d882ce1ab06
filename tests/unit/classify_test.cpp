#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archver.h"
#include "winstub.h"

struct ArgumentCase {
    RunMode mode;
    std::vector<std::string> arguments;
};

static const std::string LONG_TAIL(1022, 'x'); // with two more bytes, past the buffer

// Only the first two bytes count, compared as bytes; letters in either case.
// clang-format off
static const ArgumentCase ARGUMENT_CASES[] = {
    {.mode = RUN_HELP, .arguments = {"/?", "-?", "/?/b"}},
    {.mode = RUN_HINT, .arguments = {"?", "", "h", "1", "x/b", " /w", "\t/w", "\"/w", "\xe9", "\xe9w",
                                     std::string(1024, '?')}},
    {.mode = RUN_BITS_TWO_DIGIT, .arguments = {"/", "-", "/v", "-V", "v", "Verbose", "/h", "-help", "/1", "//",
                                               "/\xe9", "/\""}},
    {.mode = RUN_BITS_ONE_DIGIT, .arguments = {"/b", "-B", "b", "bogus", "/b" + LONG_TAIL}},
    {.mode = RUN_VERSION_CODE, .arguments = {"/o", "-O", "o"}},
    {.mode = RUN_VERSION_REPORT, .arguments = {"/w", "-W", "W", std::string(30001, 'w')}},
};
// clang-format on

static const char HINT[] = "Please TypeIn:  archver.exe /? \n";

TEST(ClassifyArgument, Table)
{
    for (const ArgumentCase &c : ARGUMENT_CASES) {
        for (const std::string &argument : c.arguments) {
            SCOPED_TRACE("argument \"" + argument.substr(0, 20) + "\"");
            // Classifying prints nothing; help and hint are printed by the run.
            testing::internal::CaptureStdout();
            EXPECT_EQ(ClassifyArgument(argument.c_str()), c.mode);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

            if (c.mode == RUN_HELP || c.mode == RUN_HINT) {
                Script = WindowsScript();
                std::string printed;
                EXPECT_EQ(RunCapturing(argument.c_str(), printed), 0);
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
}
