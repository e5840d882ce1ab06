#include <gtest/gtest.h>

#include "archver.h"
#include "osprobe.h"
#include "winstub.h"

struct BitnessCase {
    const char *name;
    bool hasFunction;
    BOOL callResult;
    BOOL flag;
    BitnessCode bits;
    int twoDigitCode; // exit code of "/v" and of no argument
};

// A missing or failing IsWow64Process is no answer, never "32-bit".
static const BitnessCase BITNESS_CASES[] = {
    {"missing", false, 1, 1, 0, 0},
    {"failing", true, 0, 1, 0, 0},
    {"32-bit Windows", true, 1, 0, 1, 32},
    {"64-bit Windows", true, 1, 1, 2, 64},
    {"flag neither 0 nor 1", true, 1, 2, 1, 32},
};

TEST(QueryBitness, AnswersAndExitCodes)
{
    for (const BitnessCase &c : BITNESS_CASES) {
        SCOPED_TRACE(c.name);
        Script = WindowsScript();
        Script.hasIsWow64Process = c.hasFunction;
        Script.isWow64ProcessResult = c.callResult;
        Script.wow64Flag = c.flag;

        EXPECT_EQ(QueryBitness(), c.bits);
        if (c.hasFunction) {
            EXPECT_EQ(Script.processPassed, GetCurrentProcess());
        }

        std::string printed;
        EXPECT_EQ(RunCapturing("/v", printed), c.twoDigitCode);
        EXPECT_EQ(RunCapturing("/b", printed), c.bits);
        char program[] = "archver.exe";
        char *argv[] = {program, nullptr};
        EXPECT_EQ(RunArchver(1, argv), c.twoDigitCode);
        EXPECT_EQ(printed, "");
    }
}

TEST(QueryOsVersion, PrefersTheExtendedRecord)
{
    ScriptVersion(2, 6, 1, 3, "Service Pack 1");
    Script.versionAnswer.wSuiteMask = 0x110;
    EXPECT_EQ(QueryOsVersion(), OSINFO_EX);
    EXPECT_EQ(OsVersionRecord.dwOSVersionInfoSize, 156u);
    EXPECT_EQ(OsVersionRecord.wProductType, 3);
    EXPECT_EQ(OsVersionRecord.wSuiteMask, 0x110);
    EXPECT_EQ(ComputeVersionCode(OSINFO_EX), 20613);
}

TEST(QueryOsVersion, FallsBackToTheBasicRecordWithExtendedFieldsZero)
{
    ScriptVersion(2, 6, 1, 3, "Service Pack 1");
    Script.acceptsExtended = false;
    Script.versionAnswer.wServicePackMajor = 1;
    Script.versionAnswer.wSuiteMask = 0x110;
    // Left over from an earlier query: must not show through.
    memset(&OsVersionRecord, 0x5A, sizeof OsVersionRecord);

    EXPECT_EQ(QueryOsVersion(), OSINFO_BASIC);
    EXPECT_EQ(OsVersionRecord.dwOSVersionInfoSize, 148u);
    EXPECT_EQ(OsVersionRecord.dwMinorVersion, 1u);
    EXPECT_STREQ(OsVersionRecord.szCSDVersion, "Service Pack 1");
    EXPECT_EQ(OsVersionRecord.wServicePackMajor, 0);
    EXPECT_EQ(OsVersionRecord.wServicePackMinor, 0);
    EXPECT_EQ(OsVersionRecord.wSuiteMask, 0);
    EXPECT_EQ(OsVersionRecord.wProductType, 0);
    EXPECT_EQ(ComputeVersionCode(OSINFO_BASIC), 20601);
}

TEST(QueryOsVersion, BothSizesRefusedIsNoAnswer)
{
    ScriptVersion(2, 6, 1, 1);
    Script.acceptsExtended = false;
    Script.acceptsBasic = false;
    EXPECT_EQ(QueryOsVersion(), OSINFO_NONE);
    EXPECT_EQ(OsVersionRecord.dwMajorVersion, 0u);

    std::string printed;
    EXPECT_EQ(RunCapturing("/o", printed), 0);
    EXPECT_EQ(printed, "");
}

struct CodeCase {
    OsInfoKind kind;
    DWORD platformId, major, minor;
    BYTE productType;
    int code;
};

static const CodeCase CODE_CASES[] = {
    {OSINFO_EX, 2, 5, 1, 1, 20511},     // Windows XP
    {OSINFO_EX, 2, 5, 2, 3, 20523},     // Windows Server 2003
    {OSINFO_EX, 2, 6, 1, 1, 20611},     // Windows 7
    {OSINFO_EX, 2, 6, 1, 3, 20613},     // Windows Server 2008 R2
    {OSINFO_EX, 2, 6, 3, 2, 20632},     // Windows Server 2012 R2 domain controller
    {OSINFO_EX, 2, 10, 0, 3, 21003},    // Windows Server 2016 and later
    {OSINFO_EX, 2, 6, 12, 1, 20721},    // a minor of 10 or more runs into the major
    {OSINFO_BASIC, 1, 4, 10, 0, 10410}, // Windows 98: minor added undivided
    {OSINFO_BASIC, 1, 4, 90, 0, 10490}, // Windows Me
    {OSINFO_BASIC, 2, 4, 0, 1, 20400},  // product type plays no part
    {OSINFO_BASIC, 2, 5, 100, 0, 20600},
    {OSINFO_EX, 0xFFFFFFFF, 2, 0, 0, -9800}, // wraps as a plain 32-bit sum
    {OSINFO_NONE, 2, 6, 1, 1, 0},
    {3, 2, 6, 1, 1, 0},
    {-1, 2, 6, 1, 1, 0},
};

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
