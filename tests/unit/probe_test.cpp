#include <gtest/gtest.h>

#include "archver.h"
#include "osprobe.h"
#include "winstub.h"

struct BitnessCase {
    const char *name;
    WindowsScript script;
    BitnessCode bits = 0;
};

// The native machine decides where IsWow64Process2 names a known one;
// otherwise IsWow64Process answers as on every Windows before it. A missing
// or failing probe is no answer, never "32-bit".
// clang-format off
static const BitnessCase BITNESS_CASES[] = {
    {"neither function", {.hasIsWow64Process = false, .wow64Flag = 1}},
    {"IsWow64Process failing", {.isWow64ProcessResult = 0, .wow64Flag = 1}},
    {"32-bit Windows", {}, 1},
    {"64-bit Windows", {.wow64Flag = 1}, 2},
    {"flag neither 0 nor 1", {.wow64Flag = 2}, 1},
    {"native x86", {.hasIsWow64Process2 = true, .nativeMachine = 0x014C, .wow64Flag = 1}, 1},
    {"native x64", {.hasIsWow64Process2 = true, .nativeMachine = 0x8664}, 2},
    {"native ARM64, not WOW64 by the old call", {.hasIsWow64Process2 = true, .nativeMachine = 0xAA64}, 2},
    {"native ARM64, old call missing", {.hasIsWow64Process2 = true, .nativeMachine = 0xAA64, .hasIsWow64Process = false}, 2},
    {"native Itanium", {.hasIsWow64Process2 = true, .nativeMachine = 0x0200, .isWow64ProcessResult = 0}, 2},
    {"native ARM (32-bit): old call", {.hasIsWow64Process2 = true, .nativeMachine = 0x01C4, .wow64Flag = 1}, 2},
    {"native unknown: old call", {.hasIsWow64Process2 = true, .nativeMachine = 0x1234}, 1},
    {"native unknown, old call failing", {.hasIsWow64Process2 = true, .nativeMachine = 0x1234, .isWow64ProcessResult = 0}},
    {"IsWow64Process2 failing: old call", {.hasIsWow64Process2 = true, .isWow64Process2Result = 0, .nativeMachine = 0xAA64}, 1},
    {"IsWow64Process2 failing, old call missing", {.hasIsWow64Process2 = true, .isWow64Process2Result = 0, .nativeMachine = 0x8664, .hasIsWow64Process = false}},
};
// clang-format on

TEST(QueryBitness, AnswersAndExitCodes)
{
    static const int TWO_DIGIT_CODE[] = {0, 32, 64}; // of "/v" and of no argument
    for (const BitnessCase &c : BITNESS_CASES) {
        SCOPED_TRACE(c.name);
        Script = c.script;
        EXPECT_EQ(QueryBitness(), c.bits);
        EXPECT_EQ(Script.kernelLookups, 1); // the fallback included
        if (c.script.hasIsWow64Process || c.script.hasIsWow64Process2) {
            EXPECT_EQ(Script.processPassed, GetCurrentProcess());
        }
        // No argument and "/v" answer 32 or 64, "/b" 1 or 2; none prints.
        for (const char *argument : {static_cast<const char *>(nullptr), "/v", "/b"}) {
            std::string printed = "not run";
            EXPECT_EQ(RunCapturing(argument, printed),
                      argument && argument[1] == 'b' ? c.bits : TWO_DIGIT_CODE[c.bits]);
            EXPECT_EQ(printed, "");
        }
    }
}

struct CodeCase {
    OsInfoKind kind;
    DWORD platformId, major, minor;
    BYTE productType;
    int code;
};

// clang-format off
static const CodeCase CODE_CASES[] = {
    {.kind = OSINFO_EX, .platformId = 2, .major = 5, .minor = 1, .productType = 1, .code = 20511}, // Windows XP
    {.kind = OSINFO_EX, .platformId = 2, .major = 5, .minor = 2, .productType = 3, .code = 20523}, // Windows Server 2003
    {.kind = OSINFO_EX, .platformId = 2, .major = 6, .minor = 1, .productType = 1, .code = 20611}, // Windows 7
    {.kind = OSINFO_EX, .platformId = 2, .major = 6, .minor = 1, .productType = 3, .code = 20613}, // Windows Server 2008 R2
    {.kind = OSINFO_EX, .platformId = 2, .major = 6, .minor = 3, .productType = 2, .code = 20632}, // Windows Server 2012 R2 domain controller
    {.kind = OSINFO_EX, .platformId = 2, .major = 10, .minor = 0, .productType = 3, .code = 21003}, // Windows Server 2016 and later
    {.kind = OSINFO_EX, .platformId = 2, .major = 6, .minor = 12, .productType = 1, .code = 20721}, // a minor of 10 or more runs into the major
    {.kind = OSINFO_BASIC, .platformId = 1, .major = 4, .minor = 10, .productType = 0, .code = 10410}, // Windows 98: minor added undivided
    {.kind = OSINFO_BASIC, .platformId = 1, .major = 4, .minor = 90, .productType = 0, .code = 10490}, // Windows Me
    {.kind = OSINFO_BASIC, .platformId = 2, .major = 4, .minor = 0, .productType = 1, .code = 20400}, // product type plays no part
    {.kind = OSINFO_BASIC, .platformId = 2, .major = 5, .minor = 100, .productType = 0, .code = 20600},
    {.kind = OSINFO_EX, .platformId = 0xFFFFFFFF, .major = 2, .minor = 0, .productType = 0, .code = -9800}, // wraps as a plain 32-bit sum
    {.kind = OSINFO_NONE, .platformId = 2, .major = 6, .minor = 1, .productType = 1, .code = 0},
    {.kind = 3, .platformId = 2, .major = 6, .minor = 1, .productType = 1, .code = 0},
    {.kind = -1, .platformId = 2, .major = 6, .minor = 1, .productType = 1, .code = 0},
};
// clang-format on

TEST(ComputeVersionCode, Table)
{
    for (const CodeCase &c : CODE_CASES) {
        SCOPED_TRACE(testing::Message()
                     << "kind " << c.kind << ", " << c.platformId << " " << c.major << "."
                     << c.minor << " type " << int(c.productType));
        memset(&OsVersionRecord, 0, sizeof OsVersionRecord);
        OsVersionRecord.dwPlatformId = c.platformId;
        OsVersionRecord.dwMajorVersion = c.major;
        OsVersionRecord.dwMinorVersion = c.minor;
        OsVersionRecord.wProductType = c.productType;
        EXPECT_EQ(ComputeVersionCode(c.kind), c.code);
    }
}
