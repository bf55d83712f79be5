#include <windows.h>

namespace {

constexpr IMAGE_LOAD_CONFIG_DIRECTORY LoadConfiguration() {
    IMAGE_LOAD_CONFIG_DIRECTORY configuration{};
    configuration.Size = sizeof(configuration);
    // DependentLoadFlags, which mingw-w64's header still names Reserved1.
    configuration.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return configuration;
}

} // namespace

// Read by the loader before any of the program's code runs: the DLLs the
// program imports, and theirs, come from System32 only (Windows 10 1607 and
// later), never from the download folder it is started from. On x86 it also
// declares an empty SafeSEH table: the program registers no exception handler.
// NOLINTNEXTLINE(readability-identifier-naming): the name the linker and loader know.
extern "C" constexpr IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = LoadConfiguration();
