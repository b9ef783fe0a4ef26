// SPDX-License-Identifier: Apache-2.0
// The DLL's load entry. Nothing is initialised at load (process-wide state
// starts statically or on first use); the entry only turns off the
// per-thread attach and detach notifications the library has no use for.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
