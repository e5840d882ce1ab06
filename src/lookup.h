// Functions looked up at run time instead of imported: a Windows that lacks
// one still loads archver.exe, and a caller can tell the function is missing.
#ifndef ARCHVER_LOOKUP_H
#define ARCHVER_LOOKUP_H

#include <windows.h>

// The function that module exports under name, as type Function, or null
// where the module has no such function.
template <typename Function> Function FindFunction(HMODULE module, const char *name)
{
    // Through a plain function type: a direct cast between unrelated
    // function types draws a warning.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

#endif
