// Stand-in for the Windows header on the build machine: the types and calls
// archver uses, with widths as on 32-bit Windows. The unit tests define the
// calls and script what they answer.
#ifndef ARCHVER_TEST_WINDOWS_H
#define ARCHVER_TEST_WINDOWS_H

#include <stdio.h>
#include <string.h>

#define WINAPI
#define VER_NT_WORKSTATION 1
#define SM_SERVERR2 89
#define IMAGE_FILE_MACHINE_I386 0x014c
#define IMAGE_FILE_MACHINE_IA64 0x0200
#define IMAGE_FILE_MACHINE_AMD64 0x8664
#define IMAGE_FILE_MACHINE_ARM64 0xaa64
#define ZeroMemory(destination, length) memset((destination), 0, (length))
#define _snprintf snprintf

typedef int BOOL;
typedef BOOL *PBOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned short USHORT;
typedef unsigned int DWORD;
typedef char CHAR;
typedef void *HANDLE;
typedef struct HMODULE__ *HMODULE;
typedef int (*FARPROC)();

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
};

// The extended record begins with the basic one, as on Windows.
struct OSVERSIONINFOEXA : OSVERSIONINFOA {
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};

HMODULE GetModuleHandleA(const char *name);
HMODULE LoadLibraryA(const char *name);
FARPROC GetProcAddress(HMODULE module, const char *name);
HANDLE GetCurrentProcess();
BOOL GetVersionExA(OSVERSIONINFOA *record);
int lstrcmpiA(const char *left, const char *right);

#endif
