#include <gtest/gtest.h>

#include "archver.h"
#include "osprobe.h"
#include "winstub.h"

struct BitnessCase {
    const char *name;
    // IsWow64Process2; native machine 0 means it is missing.
    USHORT nativeMachine = 0;
    BOOL nativeResult = 1;
    // IsWow64Process.
    bool hasIsWow64Process = true;
    BOOL wow64Result = 1;
    BOOL wow64Flag = 0;
    BitnessCode bits = 0;
};

// The native machine decides where IsWow64Process2 names a known one;
// otherwise IsWow64Process answers as on every Windows before it. A missing
// or failing probe is no answer, never "32-bit".
// clang-format off
static const BitnessCase BITNESS_CASES[] = {
    {.name = "neither function", .hasIsWow64Process = false, .wow64Flag = 1},
    {.name = "IsWow64Process failing", .wow64Result = 0, .wow64Flag = 1},
    {.name = "32-bit Windows", .bits = 1},
    {.name = "64-bit Windows", .wow64Flag = 1, .bits = 2},
    {.name = "flag neither 0 nor 1", .wow64Flag = 2, .bits = 1},
    {.name = "native x86", .nativeMachine = 0x014C, .wow64Flag = 1, .bits = 1},
    {.name = "native x64", .nativeMachine = 0x8664, .bits = 2},
    {.name = "native ARM64, not WOW64 by the old call", .nativeMachine = 0xAA64, .bits = 2},
    {.name = "native ARM64, old call missing", .nativeMachine = 0xAA64, .hasIsWow64Process = false, .bits = 2},
    {.name = "native Itanium", .nativeMachine = 0x0200, .wow64Result = 0, .bits = 2},
    {.name = "native ARM (32-bit): old call", .nativeMachine = 0x01C4, .wow64Flag = 1, .bits = 2},
    {.name = "native unknown: old call", .nativeMachine = 0x1234, .bits = 1},
    {.name = "native unknown, old call failing", .nativeMachine = 0x1234, .wow64Result = 0},
    {.name = "IsWow64Process2 failing: old call", .nativeMachine = 0xAA64, .nativeResult = 0, .bits = 1},
    {.name = "IsWow64Process2 failing, old call missing", .nativeMachine = 0x8664, .nativeResult = 0, .hasIsWow64Process = false},
};
// clang-format on

TEST(QueryBitness, AnswersAndExitCodes)
{
    static const int TWO_DIGIT_CODE[] = {0, 32, 64}; // of "/v" and of no argument
    for (const BitnessCase &c : BITNESS_CASES) {
        SCOPED_TRACE(c.name);
        Script = WindowsScript();
        Script.hasIsWow64Process2 = c.nativeMachine != 0;
        Script.nativeMachine = c.nativeMachine;
        Script.isWow64Process2Result = c.nativeResult;
        Script.hasIsWow64Process = c.hasIsWow64Process;
        Script.isWow64ProcessResult = c.wow64Result;
        Script.wow64Flag = c.wow64Flag;

        EXPECT_EQ(QueryBitness(), c.bits);
        if (c.hasIsWow64Process || c.nativeMachine != 0) {
            EXPECT_EQ(Script.processPassed, GetCurrentProcess());
        }

        std::string printed;
        EXPECT_EQ(RunCapturing("/v", printed), TWO_DIGIT_CODE[c.bits]);
        EXPECT_EQ(RunCapturing("/b", printed), c.bits);
        char program[] = "archver.exe";
        char *argv[] = {program, nullptr};
        EXPECT_EQ(RunArchver(1, argv), TWO_DIGIT_CODE[c.bits]);
        EXPECT_EQ(printed, "");
    }
}

struct QueryCase {
    const char *name;
    bool acceptsExtended, acceptsBasic;
    OsInfoKind kind;
    DWORD size, major;
    const char *csdVersion;
    WORD servicePackMajor, suiteMask;
    BYTE productType;
    int code; // of "/o"
};

// All on one answer, Windows Server 2008 R2 SP1, over a record that an
// earlier query left full of other bytes. A basic answer leaves the
// extended fields zero; a refused one leaves the record as zeroed.
// clang-format off
static const QueryCase QUERY_CASES[] = {
    {.name = "extended", .acceptsExtended = true, .acceptsBasic = true, .kind = OSINFO_EX, .size = 156, .major = 6,
     .csdVersion = "Service Pack 1", .servicePackMajor = 1, .suiteMask = 0x110, .productType = 3, .code = 20613},
    {.name = "basic", .acceptsExtended = false, .acceptsBasic = true, .kind = OSINFO_BASIC, .size = 148, .major = 6,
     .csdVersion = "Service Pack 1", .servicePackMajor = 0, .suiteMask = 0, .productType = 0, .code = 20601},
    {.name = "neither", .acceptsExtended = false, .acceptsBasic = false, .kind = OSINFO_NONE, .size = 148, .major = 0,
     .csdVersion = "", .servicePackMajor = 0, .suiteMask = 0, .productType = 0, .code = 0},
};
// clang-format on

TEST(QueryOsVersion, Table)
{
    for (const QueryCase &c : QUERY_CASES) {
        SCOPED_TRACE(c.name);
        ScriptVersion(2, 6, 1, 3, "Service Pack 1");
        Script.versionAnswer.wServicePackMajor = 1;
        Script.versionAnswer.wSuiteMask = 0x110;
        Script.acceptsExtended = c.acceptsExtended;
        Script.acceptsBasic = c.acceptsBasic;
        memset(&OsVersionRecord, 0x5A, sizeof OsVersionRecord);

        EXPECT_EQ(QueryOsVersion(), c.kind);
        const OSVERSIONINFOEXA &r = OsVersionRecord;
        EXPECT_EQ(r.dwOSVersionInfoSize, c.size);
        EXPECT_EQ(r.dwMajorVersion, c.major);
        EXPECT_STREQ(r.szCSDVersion, c.csdVersion);
        EXPECT_EQ(r.wServicePackMajor, c.servicePackMajor);
        EXPECT_EQ(r.wServicePackMinor, 0);
        EXPECT_EQ(r.wSuiteMask, c.suiteMask);
        EXPECT_EQ(r.wProductType, c.productType);

        std::string printed;
        EXPECT_EQ(RunCapturing("/o", printed), c.code);
        EXPECT_EQ(printed, "");
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
