#include "osprobe.h"

#include "lookup.h"

OSVERSIONINFOEXA OsVersionRecord;

// The byte counts GetVersionExA is told; they must match the platform's record.
static const DWORD EXTENDED_RECORD_SIZE = 156;
static const DWORD BASIC_RECORD_SIZE = 148;
static_assert(sizeof(OSVERSIONINFOEXA) == EXTENDED_RECORD_SIZE, "OSVERSIONINFOEXA layout");
static_assert(sizeof(OSVERSIONINFOA) == BASIC_RECORD_SIZE, "OSVERSIONINFOA layout");

typedef BOOL(WINAPI *IsWow64ProcessFunction)(HANDLE, PBOOL);
typedef BOOL(WINAPI *IsWow64Process2Function)(HANDLE, USHORT *, USHORT *);

// The machine Windows itself runs on, as IsWow64Process2 names it, and the
// bitness of that Windows. A machine not listed is left to IsWow64Process.
struct NativeMachineRow {
    USHORT machine;
    BitnessCode bits;
};

static const NativeMachineRow NATIVE_MACHINES[] = {
    {IMAGE_FILE_MACHINE_I386, 1},
    {IMAGE_FILE_MACHINE_AMD64, 2},
    {IMAGE_FILE_MACHINE_ARM64, 2},
    {IMAGE_FILE_MACHINE_IA64, 2},
};

// A 32-bit process emulated on 64-bit Windows on ARM may be told by
// IsWow64Process that it is not under WOW64, and asking that alone would call
// such a Windows 32-bit. IsWow64Process2 names the machine Windows itself
// runs on, which is the question asked; where it is missing (before Windows
// 10 1709), fails or names a machine not in the table, the older question
// answers as it always has.
static BitnessCode QueryNativeBitness(HMODULE kernel32)
{
    IsWow64Process2Function isWow64Process2 =
        FindFunction<IsWow64Process2Function>(kernel32, "IsWow64Process2");
    if (isWow64Process2 == NULL)
        return 0;

    USHORT processMachine = 0;
    USHORT nativeMachine = 0;
    if (!isWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine))
        return 0;
    // A plain loop over the table: the tool uses no C++ library.
    for (const NativeMachineRow &row : NATIVE_MACHINES) {
        // cppcheck-suppress useStlAlgorithm
        if (row.machine == nativeMachine)
            return row.bits;
    }
    return 0;
}

// The question every Windows since XP SP2 answers: does this 32-bit process
// run under WOW64? It does exactly on 64-bit Windows.
static BitnessCode QueryWow64Bitness(HMODULE kernel32)
{
    IsWow64ProcessFunction isWow64Process =
        FindFunction<IsWow64ProcessFunction>(kernel32, "IsWow64Process");
    if (isWow64Process == NULL)
        return 0;

    BOOL underWow64 = 0;
    if (!isWow64Process(GetCurrentProcess(), &underWow64))
        return 0;
    return underWow64 == 1 ? 2 : 1;
}

// Both functions are looked up at run time, never imported: Windows 2000 and
// early XP lack IsWow64Process, everything before Windows 10 1709 lacks
// IsWow64Process2, and an import of either would stop the program loading.
// kernel32 is in every process before its first instruction runs, so its
// handle is taken once and not tested.
BitnessCode QueryBitness()
{
    HMODULE kernel32 = GetModuleHandleA("kernel32");
    BitnessCode bits = QueryNativeBitness(kernel32);
    return bits != 0 ? bits : QueryWow64Bitness(kernel32);
}

OsInfoKind QueryOsVersion()
{
    ZeroMemory(&OsVersionRecord, sizeof OsVersionRecord);

    OsVersionRecord.dwOSVersionInfoSize = EXTENDED_RECORD_SIZE;
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA *>(&OsVersionRecord)))
        return OSINFO_EX;

    // Systems before NT 4.0 SP6 refuse the extended size. The record is not
    // zeroed again: the extended fields keep their zeros for every reader.
    OsVersionRecord.dwOSVersionInfoSize = BASIC_RECORD_SIZE;
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA *>(&OsVersionRecord)))
        return OSINFO_BASIC;
    return OSINFO_NONE;
}

int ComputeVersionCode(OsInfoKind kind)
{
    // Without a record from this query there is nothing to read.
    if (kind != OSINFO_EX && kind != OSINFO_BASIC)
        return 0;
    // Unsigned arithmetic, so that out-of-range fields wrap around as plain
    // 32-bit sums instead of overflowing a signed int; no range check, so a
    // minor version of 10 or more runs into the major digits.
    const OSVERSIONINFOEXA &r = OsVersionRecord;
    DWORD base = r.dwPlatformId * 10000 + r.dwMajorVersion * 100;
    if (kind == OSINFO_EX)
        return static_cast<int>(base + r.dwMinorVersion * 10 + r.wProductType);
    return static_cast<int>(base + r.dwMinorVersion);
}
