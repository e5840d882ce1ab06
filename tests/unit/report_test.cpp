#include <gtest/gtest.h>

#include "report.h"
#include "winstub.h"

struct LabelCase {
    DWORD platformId, major, minor;
    BYTE productType;
    const char *label;
    const char *csdVersion = "";
    int serverR2 = 0;     // what GetSystemMetrics(SM_SERVERR2) answers
    int metricsCalls = 0; // it is asked on 5.2 servers only
    bool hasUser32 = true, hasGetSystemMetrics = true;
};

static const char UNKNOWN[] = "  WinOS cannot Detection \n";

// clang-format off
static const LabelCase LABEL_CASES[] = {
    {.platformId = 1, .major = 4, .minor = 10, .productType = 0, .label = "  before Win98\n"},
    {.platformId = 1, .major = 99, .minor = 99, .productType = 1, .label = "  before Win98\n", .serverR2 = 1},
    {.platformId = 0, .major = 5, .minor = 1, .productType = 1, .label = UNKNOWN},
    {.platformId = 3, .major = 10, .minor = 0, .productType = 1, .label = UNKNOWN},
    {.platformId = 2, .major = 3, .minor = 51, .productType = 1, .label = UNKNOWN},
    {.platformId = 2, .major = 4, .minor = 0, .productType = 1, .label = "  WinNT4.0\n", .csdVersion = "Service Pack 6"},
    {.platformId = 2, .major = 4, .minor = 1, .productType = 1, .label = UNKNOWN},
    {.platformId = 2, .major = 5, .minor = 0, .productType = 3, .label = "  W2K0\n", .csdVersion = "Service Pack 4"},
    {.platformId = 2, .major = 5, .minor = 1, .productType = 1, .label = "  WinXP SP2\n", .csdVersion = "Service Pack 2"},
    {.platformId = 2, .major = 5, .minor = 1, .productType = 1, .label = "  WinXP SP2\n", .csdVersion = "sERVICE pACK 2"},
    {.platformId = 2, .major = 5, .minor = 1, .productType = 1, .label = "  WinXP\n", .csdVersion = "Service Pack 2a"},
    {.platformId = 2, .major = 5, .minor = 1, .productType = 1, .label = "  WinXP\n", .csdVersion = "Service Pack 3"},
    {.platformId = 2, .major = 5, .minor = 1, .productType = 1, .label = "  WinXP\n"},
    {.platformId = 2, .major = 5, .minor = 2, .productType = 1, .label = "  WinXP x64Ed.\n", .csdVersion = "Service Pack 2", .serverR2 = 1},
    {.platformId = 2, .major = 5, .minor = 2, .productType = 3, .label = "  WS2K3 R2\n", .csdVersion = "Service Pack 2", .serverR2 = 1, .metricsCalls = 1},
    {.platformId = 2, .major = 5, .minor = 2, .productType = 2, .label = "  WS2K3 R2\n", .serverR2 = 7, .metricsCalls = 1},
    {.platformId = 2, .major = 5, .minor = 2, .productType = 3, .label = "  WS2K3\n", .csdVersion = "Service Pack 2", .serverR2 = 0, .metricsCalls = 1},
    // A failing R2 question counts as "not R2": no user32, no GetSystemMetrics.
    {.platformId = 2, .major = 5, .minor = 2, .productType = 3, .label = "  WS2K3\n", .serverR2 = 1, .metricsCalls = 0, .hasUser32 = false},
    {.platformId = 2, .major = 5, .minor = 2, .productType = 3, .label = "  WS2K3\n", .serverR2 = 1, .metricsCalls = 0, .hasUser32 = true, .hasGetSystemMetrics = false},
    {.platformId = 2, .major = 5, .minor = 3, .productType = 1, .label = UNKNOWN},
    {.platformId = 2, .major = 6, .minor = 0, .productType = 1, .label = "  Vista\n"},
    {.platformId = 2, .major = 6, .minor = 0, .productType = 3, .label = "  WS2K8\n", .serverR2 = 1},
    {.platformId = 2, .major = 6, .minor = 1, .productType = 1, .label = "  Win7\n"},
    {.platformId = 2, .major = 6, .minor = 1, .productType = 3, .label = "  WS2K8 R2\n"},
    {.platformId = 2, .major = 6, .minor = 2, .productType = 1, .label = "  Win8\n"},
    {.platformId = 2, .major = 6, .minor = 2, .productType = 3, .label = "  WS2K12\n"},
    {.platformId = 2, .major = 6, .minor = 3, .productType = 1, .label = "  Win8.1\n"},
    {.platformId = 2, .major = 6, .minor = 3, .productType = 2, .label = "  WS2K12 R2\n"},
    {.platformId = 2, .major = 6, .minor = 4, .productType = 1, .label = UNKNOWN},
    {.platformId = 2, .major = 7, .minor = 0, .productType = 1, .label = UNKNOWN},
    {.platformId = 2, .major = 10, .minor = 0, .productType = 1, .label = "  Win10\n"},
    {.platformId = 2, .major = 10, .minor = 0, .productType = 3, .label = "  WS2K16\n"},
    {.platformId = 2, .major = 10, .minor = 1, .productType = 1, .label = UNKNOWN},
    {.platformId = 2, .major = 11, .minor = 0, .productType = 1, .label = UNKNOWN},
};
// clang-format on

TEST(PrintVersionReport, EditionLabels)
{
    for (const LabelCase &c : LABEL_CASES) {
        SCOPED_TRACE(testing::Message()
                     << c.platformId << " " << c.major << "." << c.minor << " type "
                     << int(c.productType) << " \"" << c.csdVersion << "\"");
        ScriptVersion(c.platformId, c.major, c.minor, c.productType, c.csdVersion);
        Script.serverR2 = c.serverR2;
        Script.hasUser32 = c.hasUser32;
        Script.hasGetSystemMetrics = c.hasGetSystemMetrics;
        std::string printed;
        RunCapturing("/w", printed);
        EXPECT_EQ(printed.substr(0, printed.find('\n') + 1), c.label);
        EXPECT_EQ(Script.metricsCalls, c.metricsCalls);
        if (c.metricsCalls) {
            EXPECT_EQ(Script.metricAsked, 89);
        }
    }
}

struct RecordCase {
    const char *name;
    bool acceptsExtended, acceptsBasic;
    OsInfoKind kind;
    DWORD size; // of the record queried
    int code;   // of "/o" and "/w"
    const char *printed;
    BYTE productType = 255; // answered: a basic record must not show it
    DWORD platformId = 2, major = 6, minor = 1, build = 0xFFFFFFFF;
    const char *csdVersion = "Service Pack 1";
};

// Unless a row says otherwise, Windows 7 SP1 with server product type 255
// and odd-sized fields that show how each is widened, over a record that an
// earlier query left full of other bytes. A basic answer leaves the
// extended fields zero; a refused one leaves the record as zeroed.
// clang-format off
static const RecordCase RECORD_CASES[] = {
    {.name = "extended", .acceptsExtended = true, .acceptsBasic = true, .kind = OSINFO_EX, .size = 156, .code = 20865,
     .printed = "  WS2K8 R2\n  PlatformId    = 2\n  Version Major = 6\n  Version Minor = 1\n"
                "  ProductType   = 255\n  BuildNumber   = -1\n  SuiteMask     = 65535\n"
                "  ServicePack   = 1.65535\n  CSDVersion    = Service Pack 1\n\n"},
    // A workstation: its product type reads 0, so it looks like a server.
    {.name = "basic", .acceptsExtended = false, .acceptsBasic = true, .kind = OSINFO_BASIC, .size = 148, .code = 20601,
     .printed = "  WS2K8 R2\n  PlatformId    = 2\n  Version Major = 6\n  Version Minor = 1\n"
                "  BuildNumber   = -1\n  CSDVersion    = Service Pack 1\n\n",
     .productType = 1},
    {.name = "none", .acceptsExtended = false, .acceptsBasic = false, .kind = OSINFO_NONE, .size = 148, .code = 0,
     .printed = "  WinOS cannot Detection \n  WinOS Information Structure cannot Detection \n"},
    {.name = "Windows 98, basic record", .acceptsExtended = false, .acceptsBasic = true, .kind = OSINFO_BASIC, .size = 148,
     .code = 10410,
     .printed = "  before Win98\n  PlatformId    = 1\n  Version Major = 4\n  Version Minor = 10\n"
                "  BuildNumber   = 67766446\n  CSDVersion    =  A \n\n",
     .platformId = 1, .major = 4, .minor = 10, .build = 67766446, .csdVersion = " A "},
};
// clang-format on

TEST(QueryOsVersion, RecordCodeAndReport)
{
    for (const RecordCase &c : RECORD_CASES) {
        SCOPED_TRACE(c.name);
        ScriptVersion(c.platformId, c.major, c.minor, c.productType, c.csdVersion);
        OSVERSIONINFOEXA &v = Script.versionAnswer;
        v.dwBuildNumber = c.build;
        v.wSuiteMask = 0xFFFF;
        v.wServicePackMajor = 1;
        v.wServicePackMinor = 0xFFFF;
        Script.acceptsExtended = c.acceptsExtended;
        Script.acceptsBasic = c.acceptsBasic;

        memset(&OsVersionRecord, 0x5A, sizeof OsVersionRecord);
        EXPECT_EQ(QueryOsVersion(), c.kind);
        const OSVERSIONINFOEXA &r = OsVersionRecord;
        const bool basic = c.kind != OSINFO_NONE, extended = c.kind == OSINFO_EX;
        EXPECT_EQ(r.dwOSVersionInfoSize, c.size);
        EXPECT_EQ(r.dwMajorVersion, basic ? c.major : 0);
        EXPECT_STREQ(r.szCSDVersion, basic ? c.csdVersion : "");
        EXPECT_EQ(r.wServicePackMajor, extended ? 1 : 0);
        EXPECT_EQ(r.wServicePackMinor, extended ? 0xFFFF : 0);
        EXPECT_EQ(r.wSuiteMask, extended ? 0xFFFF : 0);
        EXPECT_EQ(r.wProductType, extended ? c.productType : 0);

        // "/o" and "/w" answer the same; only "/w" prints.
        std::string printed;
        EXPECT_EQ(RunCapturing("/o", printed), c.code);
        EXPECT_EQ(printed, "");
        EXPECT_EQ(RunCapturing("-W", printed), c.code);
        EXPECT_EQ(printed, c.printed);
    }
}

TEST(PrintVersionReport, ServicePackTextStopsAtTheEndOfItsField)
{
    ScriptVersion(2, 6, 1, 1);
    memset(Script.versionAnswer.szCSDVersion, 'S', sizeof Script.versionAnswer.szCSDVersion);
    Script.versionAnswer.wServicePackMajor = 0x4141;
    std::string printed;
    RunCapturing("/w", printed);
    EXPECT_NE(printed.find("  CSDVersion    = " + std::string(128, 'S') + "\n\n"),
              std::string::npos)
        << printed;
}
