#include "Procedure.h"
#include "Update.h"

#include <windows.h>

namespace {

// An elevated updater is often started from a Downloads folder; DLLs planted
// beside it must never be loaded. Looked up at run time so the program still
// starts where the function is missing.
void RestrictDllSearchToSystem32() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) {
        return;
    }
    const auto setDefaultDllDirectories =
        LookUpProcedure<SetDefaultDllDirectoriesFunction>(kernel32, "SetDefaultDllDirectories");
    if (setDefaultDllDirectories != nullptr) {
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    RestrictDllSearchToSystem32();

    Update update;
    if (!update.Create(instance, showCommand)) {
        return 1;
    }
    return update.RunMessageLoop();
}
