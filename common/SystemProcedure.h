#pragma once

#include "Handles.h"

#include <windows.h>

// A DLL that is not a KnownDLL, from System32 only: never a copy someone put
// beside the program or anywhere else on the search path.
[[nodiscard]] inline UniqueModule LoadSystemLibrary(const wchar_t* name) {
    return UniqueModule(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

// A function of a system DLL, looked up at run time, so the program neither
// imports the DLL nor fails to start where the function is missing; null when
// it is not there.
template <typename Function>
[[nodiscard]] Function LookUpProcedure(HMODULE module, const char* name) {
    // Through a plain function pointer type, which any function pointer converts to.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
