#pragma once

// Whether this Windows program runs under Wine, which the Windows build's
// tests are run under on Linux: a few things Wine does unlike Windows are
// skipped there, and only there.

#ifdef _WIN32
#include <windows.h>
#endif

inline bool UnderWine()
{
#ifdef _WIN32
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}
