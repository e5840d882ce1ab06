// What the stand-in Windows calls answer, set by each test.
#ifndef ARCHVER_TEST_WINSTUB_H
#define ARCHVER_TEST_WINSTUB_H

#include <string>

#include <windows.h>

struct WindowsScript {
    // IsWow64Process2: found at all, its result, and the native machine it
    // names (the process machine is what Windows gives a 32-bit process).
    bool hasIsWow64Process2 = false;
    BOOL isWow64Process2Result = 1;
    USHORT nativeMachine = 0;

    // IsWow64Process: found at all, its result, and the flag it sets.
    bool hasIsWow64Process = true;
    BOOL isWow64ProcessResult = 1;
    BOOL wow64Flag = 0;
    HANDLE processPassed = nullptr;
    int kernelLookups = 0; // GetModuleHandleA("kernel32") calls

    // GetVersionExA accepts these sizes and copies from versionAnswer.
    bool acceptsExtended = true;
    bool acceptsBasic = true;
    OSVERSIONINFOEXA versionAnswer = {};
    int versionQueries = 0;

    // user32 and GetSystemMetrics(SM_SERVERR2).
    bool hasUser32 = true;
    bool hasGetSystemMetrics = true;
    int serverR2 = 0;
    int metricsCalls = 0;
    int metricAsked = -1;
};

extern WindowsScript Script;

// A fresh script with an extended answer for the given version.
void ScriptVersion(DWORD platformId, DWORD major, DWORD minor, BYTE productType,
                   const char *csdVersion = "");

// Runs the whole entry as the process would, with the argument or none
// (nullptr), and captures what it prints.
int RunCapturing(const char *argument, std::string &printed);

#endif
