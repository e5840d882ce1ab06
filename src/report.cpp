#include <stdio.h>

#include "report.h"

#include "lookup.h"

// What else must hold, beyond the version numbers, for a row to name the
// edition: the tests that tell editions of one version apart.
enum {
    WHEN_ANY,            // the version numbers alone decide
    WHEN_WORKSTATION,    // wProductType is VER_NT_WORKSTATION
    WHEN_SERVICE_PACK_2, // szCSDVersion is "Service Pack 2", any letter case
    WHEN_SERVER_R2       // GetSystemMetrics(SM_SERVERR2) is nonzero
};

static const DWORD ANY = 0xFFFFFFFF;

// A line naming the edition: two blanks, the name, a line end.
typedef const char *EditionLabel;

struct EditionRow {
    DWORD platformId;
    DWORD majorVersion;
    DWORD minorVersion;
    int condition;
    EditionLabel label;
};

// Walked top down; the first row whose numbers match and whose condition
// holds names the edition. A WHEN_ANY row after conditional ones is their
// "otherwise". Anything not listed cannot be named. The labels, odd spacing
// included, are printed byte for byte as scripts and earlier releases
// expect them: do not correct their English.
static const EditionRow EDITION_TABLE[] = {
    {1, ANY, ANY, WHEN_ANY, "  before Win98\n"},
    {2, 4, 0, WHEN_ANY, "  WinNT4.0\n"},
    {2, 5, 0, WHEN_ANY, "  W2K0\n"},
    {2, 5, 1, WHEN_SERVICE_PACK_2, "  WinXP SP2\n"},
    {2, 5, 1, WHEN_ANY, "  WinXP\n"},
    {2, 5, 2, WHEN_WORKSTATION, "  WinXP x64Ed.\n"},
    {2, 5, 2, WHEN_SERVER_R2, "  WS2K3 R2\n"},
    {2, 5, 2, WHEN_ANY, "  WS2K3\n"},
    {2, 6, 0, WHEN_WORKSTATION, "  Vista\n"},
    {2, 6, 0, WHEN_ANY, "  WS2K8\n"},
    {2, 6, 1, WHEN_WORKSTATION, "  Win7\n"},
    {2, 6, 1, WHEN_ANY, "  WS2K8 R2\n"},
    {2, 6, 2, WHEN_WORKSTATION, "  Win8\n"},
    {2, 6, 2, WHEN_ANY, "  WS2K12\n"},
    {2, 6, 3, WHEN_WORKSTATION, "  Win8.1\n"},
    {2, 6, 3, WHEN_ANY, "  WS2K12 R2\n"},
    {2, 10, 0, WHEN_WORKSTATION, "  Win10\n"},
    {2, 10, 0, WHEN_ANY, "  WS2K16\n"},
};

static const EditionLabel UNKNOWN_EDITION = "  WinOS cannot Detection \n";

typedef int(WINAPI *GetSystemMetricsFunction)(int);

// user32 is loaded only for this one question, asked on 5.2 servers alone.
// Importing it, the plain way, would have Windows load it and the DLLs it
// needs on every run, every answer then costing more than a program that does
// nothing; the answer on a 5.2 server is the same either way. Being a known
// DLL, it always comes from the system directory, never the current one. Any
// failure counts as "not R2".
static int IsServerR2()
{
    HMODULE user32 = LoadLibraryA("user32");
    if (user32 == NULL)
        return 0;
    GetSystemMetricsFunction getSystemMetrics =
        FindFunction<GetSystemMetricsFunction>(user32, "GetSystemMetrics");
    if (getSystemMetrics == NULL)
        return 0;
    return getSystemMetrics(SM_SERVERR2) != 0;
}

static int TestEditionCondition(int condition)
{
    const OSVERSIONINFOEXA &r = OsVersionRecord;
    switch (condition) {
    case WHEN_WORKSTATION: return r.wProductType == VER_NT_WORKSTATION;
    case WHEN_SERVICE_PACK_2: return lstrcmpiA(r.szCSDVersion, "Service Pack 2") == 0;
    case WHEN_SERVER_R2: return IsServerR2();
    default: return 1;
    }
}

static EditionLabel FindEditionLabel()
{
    const OSVERSIONINFOEXA &r = OsVersionRecord;
    for (const EditionRow &row : EDITION_TABLE) {
        if (row.platformId != r.dwPlatformId)
            continue;
        if (row.majorVersion != ANY && row.majorVersion != r.dwMajorVersion)
            continue;
        if (row.minorVersion != ANY && row.minorVersion != r.dwMinorVersion)
            continue;
        if (TestEditionCondition(row.condition))
            return row.label;
    }
    return UNKNOWN_EDITION;
}

// Narrow fields are widened without sign, then shown with the signed "%i".
// A plain "%s" would run on past szCSDVersion into the fields behind it if
// the system ever left the text without its zero byte; "%.128s" prints every
// terminated text the same and stops at the field's end.
void PrintVersionReport(OsInfoKind kind)
{
    const OSVERSIONINFOEXA &r = OsVersionRecord;
    printf("%s", FindEditionLabel());

    if (kind == OSINFO_EX) {
        printf("  PlatformId    = %i\n", static_cast<int>(r.dwPlatformId));
        printf("  Version Major = %i\n", static_cast<int>(r.dwMajorVersion));
        printf("  Version Minor = %i\n", static_cast<int>(r.dwMinorVersion));
        printf("  ProductType   = %i\n", static_cast<int>(r.wProductType));
        printf("  BuildNumber   = %i\n", static_cast<int>(r.dwBuildNumber));
        printf("  SuiteMask     = %i\n", static_cast<int>(r.wSuiteMask));
        printf("  ServicePack   = %i.%i\n", static_cast<int>(r.wServicePackMajor),
               static_cast<int>(r.wServicePackMinor));
        printf("  CSDVersion    = %.128s\n", r.szCSDVersion);
        printf("\n");
    } else if (kind == OSINFO_BASIC) {
        printf("  PlatformId    = %i\n", static_cast<int>(r.dwPlatformId));
        printf("  Version Major = %i\n", static_cast<int>(r.dwMajorVersion));
        printf("  Version Minor = %i\n", static_cast<int>(r.dwMinorVersion));
        printf("  BuildNumber   = %i\n", static_cast<int>(r.dwBuildNumber));
        printf("  CSDVersion    = %.128s\n", r.szCSDVersion);
        printf("\n");
    } else {
        printf("  WinOS Information Structure cannot Detection \n");
    }
}
