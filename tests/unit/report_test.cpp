#include <gtest/gtest.h>

#include "report.h"
#include "winstub.h"

static std::string PrintReport(OsInfoKind kind)
{
    testing::internal::CaptureStdout();
    PrintVersionReport(kind);
    return testing::internal::GetCapturedStdout();
}

static std::string FirstLine(const std::string &text)
{
    return text.substr(0, text.find('\n') + 1);
}

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
    {1, 4, 10, 0, "  before Win98\n"},
    {1, 99, 99, 1, "  before Win98\n", "", 1},
    {0, 5, 1, 1, UNKNOWN},
    {3, 10, 0, 1, UNKNOWN},
    {2, 3, 51, 1, UNKNOWN},
    {2, 4, 0, 1, "  WinNT4.0\n", "Service Pack 6"},
    {2, 4, 1, 1, UNKNOWN},
    {2, 5, 0, 3, "  W2K0\n", "Service Pack 4"},
    {2, 5, 1, 1, "  WinXP SP2\n", "Service Pack 2"},
    {2, 5, 1, 1, "  WinXP SP2\n", "sERVICE pACK 2"},
    {2, 5, 1, 1, "  WinXP\n", "Service Pack 2a"},
    {2, 5, 1, 1, "  WinXP\n", "Service Pack 3"},
    {2, 5, 1, 1, "  WinXP\n"},
    {2, 5, 2, 1, "  WinXP x64Ed.\n", "Service Pack 2", 1},
    {2, 5, 2, 3, "  WS2K3 R2\n", "Service Pack 2", 1, 1},
    {2, 5, 2, 2, "  WS2K3 R2\n", "", 7, 1},
    {2, 5, 2, 3, "  WS2K3\n", "Service Pack 2", 0, 1},
    // A failing R2 question counts as "not R2": no user32, no GetSystemMetrics.
    {2, 5, 2, 3, "  WS2K3\n", "", 1, 0, false},
    {2, 5, 2, 3, "  WS2K3\n", "", 1, 0, true, false},
    {2, 5, 3, 1, UNKNOWN},
    {2, 6, 0, 1, "  Vista\n"},
    {2, 6, 0, 3, "  WS2K8\n", "", 1},
    {2, 6, 1, 1, "  Win7\n"},
    {2, 6, 1, 3, "  WS2K8 R2\n"},
    {2, 6, 2, 1, "  Win8\n"},
    {2, 6, 2, 3, "  WS2K12\n"},
    {2, 6, 3, 1, "  Win8.1\n"},
    {2, 6, 3, 2, "  WS2K12 R2\n"},
    {2, 6, 4, 1, UNKNOWN},
    {2, 7, 0, 1, UNKNOWN},
    {2, 10, 0, 1, "  Win10\n"},
    {2, 10, 0, 3, "  WS2K16\n"},
    {2, 10, 1, 1, UNKNOWN},
    {2, 11, 0, 1, UNKNOWN},
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
        OsInfoKind kind = QueryOsVersion();
        EXPECT_EQ(FirstLine(PrintReport(kind)), c.label);
        EXPECT_EQ(Script.metricsCalls, c.metricsCalls);
        if (c.metricsCalls) {
            EXPECT_EQ(Script.metricAsked, 89);
        }
    }
}

struct ReportCase {
    const char *name;
    bool acceptsExtended, acceptsBasic;
    int code;
    const char *printed;
    DWORD platformId = 2, major = 6, minor = 1, build = 0xFFFFFFFF;
    const char *csdVersion = "Service Pack 1";
};

// Unless a row says otherwise, Windows 7 SP1 with server product type 255
// and odd-sized fields that show how each is widened.
static const ReportCase REPORT_CASES[] = {
    {"extended", true, true, 20865,
     "  WS2K8 R2\n"
     "  PlatformId    = 2\n"
     "  Version Major = 6\n"
     "  Version Minor = 1\n"
     "  ProductType   = 255\n"
     "  BuildNumber   = -1\n"
     "  SuiteMask     = 65535\n"
     "  ServicePack   = 1.65535\n"
     "  CSDVersion    = Service Pack 1\n"
     "\n"},
    // The product type reads 0, so a workstation looks like a server.
    {"basic", false, true, 20601,
     "  WS2K8 R2\n"
     "  PlatformId    = 2\n"
     "  Version Major = 6\n"
     "  Version Minor = 1\n"
     "  BuildNumber   = -1\n"
     "  CSDVersion    = Service Pack 1\n"
     "\n"},
    {"none", false, false, 0,
     "  WinOS cannot Detection \n"
     "  WinOS Information Structure cannot Detection \n"},
    {"Windows 98, basic record", false, true, 10410,
     "  before Win98\n"
     "  PlatformId    = 1\n"
     "  Version Major = 4\n"
     "  Version Minor = 10\n"
     "  BuildNumber   = 67766446\n"
     "  CSDVersion    =  A \n"
     "\n",
     1, 4, 10, 67766446, " A "},
};

TEST(PrintVersionReport, DetailLinesAndExitCode)
{
    for (const ReportCase &c : REPORT_CASES) {
        SCOPED_TRACE(c.name);
        ScriptVersion(c.platformId, c.major, c.minor, 255, c.csdVersion);
        OSVERSIONINFOEXA &v = Script.versionAnswer;
        v.dwBuildNumber = c.build;
        v.wSuiteMask = 0xFFFF;
        v.wServicePackMajor = 1;
        v.wServicePackMinor = 0xFFFF;
        Script.acceptsExtended = c.acceptsExtended;
        Script.acceptsBasic = c.acceptsBasic;

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
    std::string printed = PrintReport(QueryOsVersion());
    EXPECT_NE(printed.find("  CSDVersion    = " + std::string(128, 'S') + "\n\n"),
              std::string::npos)
        << printed;
}
