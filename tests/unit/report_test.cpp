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
    const char *csdVersion;
    int serverR2;
    const char *label;
    int metricsCalls; // SM_SERVERR2 is asked on 5.2 servers only
};

static const char UNKNOWN[] = "  WinOS cannot Detection \n";

static const LabelCase LABEL_CASES[] = {
    {1, 4, 10, 0, "", 0, "  before Win98\n", 0},
    {1, 99, 99, 1, "", 1, "  before Win98\n", 0},
    {0, 5, 1, 1, "", 0, UNKNOWN, 0},
    {3, 10, 0, 1, "", 0, UNKNOWN, 0},
    {2, 3, 51, 1, "", 0, UNKNOWN, 0},
    {2, 4, 0, 1, "Service Pack 6", 0, "  WinNT4.0\n", 0},
    {2, 4, 1, 1, "", 0, UNKNOWN, 0},
    {2, 5, 0, 3, "Service Pack 4", 0, "  W2K0\n", 0},
    {2, 5, 1, 1, "Service Pack 2", 0, "  WinXP SP2\n", 0},
    {2, 5, 1, 1, "sERVICE pACK 2", 0, "  WinXP SP2\n", 0},
    {2, 5, 1, 1, "Service Pack 2a", 0, "  WinXP\n", 0},
    {2, 5, 1, 1, "Service Pack 3", 0, "  WinXP\n", 0},
    {2, 5, 1, 1, "", 0, "  WinXP\n", 0},
    {2, 5, 2, 1, "Service Pack 2", 1, "  WinXP x64Ed.\n", 0},
    {2, 5, 2, 3, "Service Pack 2", 1, "  WS2K3 R2\n", 1},
    {2, 5, 2, 2, "", 7, "  WS2K3 R2\n", 1},
    {2, 5, 2, 3, "Service Pack 2", 0, "  WS2K3\n", 1},
    {2, 5, 3, 1, "", 0, UNKNOWN, 0},
    {2, 6, 0, 1, "", 0, "  Vista\n", 0},
    {2, 6, 0, 3, "", 1, "  WS2K8\n", 0},
    {2, 6, 1, 1, "", 0, "  Win7\n", 0},
    {2, 6, 1, 3, "", 0, "  WS2K8 R2\n", 0},
    {2, 6, 2, 1, "", 0, "  Win8\n", 0},
    {2, 6, 2, 3, "", 0, "  WS2K12\n", 0},
    {2, 6, 3, 1, "", 0, "  Win8.1\n", 0},
    {2, 6, 3, 2, "", 0, "  WS2K12 R2\n", 0},
    {2, 6, 4, 1, "", 0, UNKNOWN, 0},
    {2, 7, 0, 1, "", 0, UNKNOWN, 0},
    {2, 10, 0, 1, "", 0, "  Win10\n", 0},
    {2, 10, 0, 3, "", 0, "  WS2K16\n", 0},
    {2, 10, 1, 1, "", 0, UNKNOWN, 0},
    {2, 11, 0, 1, "", 0, UNKNOWN, 0},
};

TEST(PrintVersionReport, EditionLabels)
{
    for (const LabelCase &c : LABEL_CASES) {
        SCOPED_TRACE(testing::Message()
                     << c.platformId << " " << c.major << "." << c.minor << " type "
                     << int(c.productType) << " \"" << c.csdVersion << "\"");
        ScriptVersion(c.platformId, c.major, c.minor, c.productType, c.csdVersion);
        Script.serverR2 = c.serverR2;
        OsInfoKind kind = QueryOsVersion();
        EXPECT_EQ(FirstLine(PrintReport(kind)), c.label);
        EXPECT_EQ(Script.metricsCalls, c.metricsCalls);
        if (c.metricsCalls) {
            EXPECT_EQ(Script.metricAsked, 89);
        }
    }
}

TEST(PrintVersionReport, ServerR2QueryFailingCountsAsNotR2)
{
    for (bool hasUser32 : {false, true}) {
        ScriptVersion(2, 5, 2, 3);
        Script.serverR2 = 1;
        Script.hasUser32 = hasUser32;
        Script.hasGetSystemMetrics = false;
        EXPECT_EQ(FirstLine(PrintReport(QueryOsVersion())), "  WS2K3\n");
    }
}

struct ReportCase {
    const char *name;
    bool acceptsExtended, acceptsBasic;
    const char *printed;
};

// All on one answer: Windows 7 SP1 with server product type and odd-sized
// fields that show how each is widened.
static const ReportCase REPORT_CASES[] = {
    {"extended", true, true,
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
    {"basic", false, true,
     "  WS2K8 R2\n"
     "  PlatformId    = 2\n"
     "  Version Major = 6\n"
     "  Version Minor = 1\n"
     "  BuildNumber   = -1\n"
     "  CSDVersion    = Service Pack 1\n"
     "\n"},
    {"none", false, false,
     "  WinOS cannot Detection \n"
     "  WinOS Information Structure cannot Detection \n"},
};

TEST(PrintVersionReport, DetailLines)
{
    for (const ReportCase &c : REPORT_CASES) {
        SCOPED_TRACE(c.name);
        ScriptVersion(2, 6, 1, 255, "Service Pack 1");
        OSVERSIONINFOEXA &v = Script.versionAnswer;
        v.dwBuildNumber = 0xFFFFFFFF;
        v.wSuiteMask = 0xFFFF;
        v.wServicePackMajor = 1;
        v.wServicePackMinor = 0xFFFF;
        Script.acceptsExtended = c.acceptsExtended;
        Script.acceptsBasic = c.acceptsBasic;

        std::string printed;
        int code = RunCapturing("/w", printed);
        EXPECT_EQ(printed, c.printed);
        EXPECT_EQ(code, ComputeVersionCode(QueryOsVersion()));
    }
}

TEST(PrintVersionReport, OldWindowsBasicRecord)
{
    ScriptVersion(1, 4, 10, 0, " A ");
    Script.versionAnswer.dwBuildNumber = 67766446;
    Script.acceptsExtended = false;
    EXPECT_EQ(PrintReport(QueryOsVersion()), "  before Win98\n"
                                             "  PlatformId    = 1\n"
                                             "  Version Major = 4\n"
                                             "  Version Minor = 10\n"
                                             "  BuildNumber   = 67766446\n"
                                             "  CSDVersion    =  A \n"
                                             "\n");
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

TEST(RunArchver, VersionCodeAndReportAgree)
{
    ScriptVersion(2, 10, 0, 1);
    std::string printed;
    EXPECT_EQ(RunCapturing("/o", printed), 21001);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(RunCapturing("-W", printed), 21001);
    EXPECT_EQ(FirstLine(printed), "  Win10\n");
}
