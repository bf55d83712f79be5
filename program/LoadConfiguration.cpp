#include <windows.h>

#include <cstddef>

namespace {

// mingw-w64's structure stops at SEHandlerCount; the loader reads the fields
// after it only from a structure that reaches GuardFlags, as the compilers'
// own do. No control-flow guard: its pointers and flags stay zero.
// NOLINTBEGIN(readability-identifier-naming): the loader's own names for the fields.
struct LoadConfigurationDirectory {
    IMAGE_LOAD_CONFIG_DIRECTORY base;
    ULONG_PTR GuardCFCheckFunctionPointer;
    ULONG_PTR GuardCFDispatchFunctionPointer;
    ULONG_PTR GuardCFFunctionTable;
    ULONG_PTR GuardCFFunctionCount;
    DWORD GuardFlags;
};
// NOLINTEND(readability-identifier-naming)

// Through GuardFlags, not the padding after it: 0x5C on x86, 0x94 on x64.
constexpr DWORD kLoadConfigurationSize =
    offsetof(LoadConfigurationDirectory, GuardFlags) + sizeof(DWORD);
static_assert(kLoadConfigurationSize == (sizeof(void*) == 4 ? 0x5CU : 0x94U));

constexpr LoadConfigurationDirectory LoadConfiguration() {
    LoadConfigurationDirectory configuration{};
    configuration.base.Size = kLoadConfigurationSize;
    // DependentLoadFlags, which mingw-w64's header still names Reserved1.
    configuration.base.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
    configuration.GuardCFCheckFunctionPointer = 0;
    configuration.GuardCFDispatchFunctionPointer = 0;
    configuration.GuardCFFunctionTable = 0;
    configuration.GuardCFFunctionCount = 0;
    configuration.GuardFlags = 0;
    return configuration;
}

} // namespace

// Read by the loader before any of the program's code runs: the DLLs the
// program imports itself come from System32 only (Windows 10 1607 and later),
// never from the download folder it is started from. On x86 it also declares
// an empty SafeSEH table: the program registers no exception handler.
// NOLINTNEXTLINE(readability-identifier-naming): the name the linker and loader know.
extern "C" constexpr LoadConfigurationDirectory _load_config_used = LoadConfiguration();
