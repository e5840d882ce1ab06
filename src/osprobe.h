// The two questions archver asks Windows: is the Windows this 32-bit process
// runs on a 32- or a 64-bit one, and which version record does GetVersionExA
// hand out.
#ifndef ARCHVER_OSPROBE_H
#define ARCHVER_OSPROBE_H

#include <windows.h>

// Results are plain integers; 0 always means "no answer".
typedef int BitnessCode; // 0 no answer, 1 32-bit Windows, 2 64-bit Windows
typedef int OsInfoKind;  // one of the OSINFO_ values

enum {
    OSINFO_NONE = 0,  // neither record size was accepted
    OSINFO_BASIC = 1, // only the OSVERSIONINFOA part is filled
    OSINFO_EX = 2     // the whole OSVERSIONINFOEXA record is filled
};

// The one version record of the process, written only by QueryOsVersion.
extern OSVERSIONINFOEXA OsVersionRecord;

BitnessCode QueryBitness();
OsInfoKind QueryOsVersion();
int ComputeVersionCode(OsInfoKind kind);

#endif
