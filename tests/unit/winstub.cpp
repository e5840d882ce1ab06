#include "winstub.h"

#include <strings.h>

#include <gtest/gtest.h>

#include "archver.h"

WindowsScript Script;

static int kernel32Tag, user32Tag;
static HMODULE const KERNEL32 = reinterpret_cast<HMODULE>(&kernel32Tag);
static HMODULE const USER32 = reinterpret_cast<HMODULE>(&user32Tag);
static HANDLE const CURRENT_PROCESS = reinterpret_cast<HANDLE>(-1);

static BOOL FakeIsWow64Process(HANDLE process, PBOOL flag)
{
    Script.processPassed = process;
    *flag = Script.wow64Flag;
    return Script.isWow64ProcessResult;
}

static BOOL FakeIsWow64Process2(HANDLE process, USHORT *processMachine, USHORT *nativeMachine)
{
    Script.processPassed = process;
    *processMachine = Script.nativeMachine == IMAGE_FILE_MACHINE_I386 ? 0 : IMAGE_FILE_MACHINE_I386;
    *nativeMachine = Script.nativeMachine;
    return Script.isWow64Process2Result;
}

static int FakeGetSystemMetrics(int index)
{
    Script.metricsCalls++;
    Script.metricAsked = index;
    return index == SM_SERVERR2 ? Script.serverR2 : 0;
}

HMODULE GetModuleHandleA(const char *name)
{
    Script.kernelLookups += strcmp(name, "kernel32") == 0;
    return strcmp(name, "kernel32") == 0 ? KERNEL32 : nullptr;
}

HMODULE LoadLibraryA(const char *name)
{
    return Script.hasUser32 && strcmp(name, "user32") == 0 ? USER32 : nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char *name)
{
    if (module == KERNEL32 && Script.hasIsWow64Process && strcmp(name, "IsWow64Process") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(FakeIsWow64Process));
    if (module == KERNEL32 && Script.hasIsWow64Process2 && strcmp(name, "IsWow64Process2") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(FakeIsWow64Process2));
    if (module == USER32 && Script.hasGetSystemMetrics && strcmp(name, "GetSystemMetrics") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(FakeGetSystemMetrics));
    return nullptr;
}

HANDLE GetCurrentProcess()
{
    return CURRENT_PROCESS;
}

// Like Windows: fills the record up to the size it was told, keeps the size
// field, and leaves the record untouched when it refuses the size.
BOOL GetVersionExA(OSVERSIONINFOA *record)
{
    Script.versionQueries++;
    DWORD size = record->dwOSVersionInfoSize;
    if (!(size == 156 && Script.acceptsExtended) && !(size == 148 && Script.acceptsBasic))
        return 0;
    const DWORD skip = sizeof record->dwOSVersionInfoSize;
    memcpy(reinterpret_cast<char *>(record) + skip,
           reinterpret_cast<const char *>(&Script.versionAnswer) + skip, size - skip);
    return 1;
}

int lstrcmpiA(const char *left, const char *right)
{
    return strcasecmp(left, right);
}

void ScriptVersion(DWORD platformId, DWORD major, DWORD minor, BYTE productType,
                   const char *csdVersion)
{
    Script = WindowsScript();
    OSVERSIONINFOEXA &v = Script.versionAnswer;
    v.dwPlatformId = platformId;
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    v.wProductType = productType;
    snprintf(v.szCSDVersion, sizeof v.szCSDVersion, "%s", csdVersion);
}

int RunCapturing(const char *argument, std::string &printed)
{
    char program[] = "archver.exe";
    char copy[64];
    snprintf(copy, sizeof copy, "%s", argument ? argument : "");
    char *argv[] = {program, argument ? copy : nullptr, nullptr};
    testing::internal::CaptureStdout();
    int code = RunArchver(argument ? 2 : 1, argv);
    printed = testing::internal::GetCapturedStdout();
    return code;
}
