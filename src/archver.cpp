#include <stdio.h>

#include "archver.h"
#include "osprobe.h"
#include "report.h"

// The help screen and the hint are printed byte for byte as scripts and
// earlier releases expect them, blanks and wording included: do not correct
// their English.
static const char *const HELP_LINES[] = {
    "Help: archver.exe\n",
    "    This Program can check that a process is running under WOW64.\n",
    "    and Version of Windows OS (Win98-Win8.1 or W2K-WS2K12R2).\n\n",
    "    [Memo] WOW64(Windows on Win64) is present in 64-bit Windows OS.\n\n",
    "Usage:\n",
    "       archver.exe [/v] [/b] [/o] [/w]\n\n",
    "Options:\n",
    "    /? Displays this help message.\n",
    "    /v Returns two-digit version of Windows (32-bit or 64-bit).\n",
    "       eg. 32-bit =32, 64-bit =64\n",
    "    /b Returns single-digit version of Windows (32-bit or 64-bit).\n",
    "       eg. 32-bit = 1, 64-bit = 2\n",
    "    /o Returns four-digit OS version information\n",
    "       (Platform Id, Major Version, Minor Version, Product Type).\n",
    "       eg. Windows XP = 20511, Windows Server 2003    = 20523\n",
    "           Windows 7  = 20611, Windows Server 2008 R2 = 20613\n",
    "    /w Displays OS version information.\n\n",
    "The default is to return two-digit version of Windows (32-bit or 64-bit).\n\n",
};

static const char HINT[] = "Please TypeIn:  archver.exe /? \n";

void PrintHelp()
{
    for (const char *line : HELP_LINES)
        printf("%s", line);
}

// The run mode an option letter selects, or RUN_NONE for any other byte.
static RunMode ClassifyOptionLetter(char letter)
{
    switch (letter) {
    case 'V':
    case 'v': return RUN_BITS_TWO_DIGIT;
    case 'B':
    case 'b': return RUN_BITS_ONE_DIGIT;
    case 'O':
    case 'o': return RUN_VERSION_CODE;
    case 'W':
    case 'w': return RUN_VERSION_REPORT;
    default: return RUN_NONE;
    }
}

// Only the first two bytes count, compared as plain byte values. After a
// switch character, "?" asks for help and anything unrecognised, the end of
// the argument included, falls back to the default; without one, only an
// option letter is understood and anything else earns the hint. Help and
// hint are printed here, before any probe runs.
RunMode ClassifyArgument(const char *argument)
{
    // _snprintf leaves no terminator when it truncates; the last byte is set
    // by hand so a long argument still yields a terminated copy.
    char buffer[1024];
    _snprintf(buffer, sizeof buffer - 1, "%s", argument);
    buffer[sizeof buffer - 1] = '\0';

    if (buffer[0] == '/' || buffer[0] == '-') {
        if (buffer[1] == '?') {
            PrintHelp();
            return RUN_NONE;
        }
        RunMode mode = ClassifyOptionLetter(buffer[1]);
        return mode != RUN_NONE ? mode : RUN_BITS_TWO_DIGIT;
    }
    RunMode mode = ClassifyOptionLetter(buffer[0]);
    if (mode == RUN_NONE)
        printf("%s", HINT);
    return mode;
}

int RunArchver(int argc, char **argv)
{
    RunMode mode = argc > 1 ? ClassifyArgument(argv[1]) : RUN_BITS_TWO_DIGIT;

    switch (mode) {
    case RUN_BITS_TWO_DIGIT: {
        BitnessCode bits = QueryBitness();
        return bits == 1 ? 32 : bits == 2 ? 64 : 0;
    }
    case RUN_BITS_ONE_DIGIT: return QueryBitness();
    case RUN_VERSION_CODE: return ComputeVersionCode(QueryOsVersion());
    case RUN_VERSION_REPORT: {
        OsInfoKind kind = QueryOsVersion();
        int code = ComputeVersionCode(kind);
        PrintVersionReport(kind);
        return code;
    }
    default: return 0; // RUN_NONE: help or hint already shown
    }
}
