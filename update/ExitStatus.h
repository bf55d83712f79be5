#pragma once

#include "Result.h"

// The program's exit statuses, the codes deployment tools read (MSI's where
// one fits).
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
// ERROR_INSTALL_ALREADY_RUNNING: tools retry later.
inline constexpr int kExitBusy = static_cast<int>(kErrorInstallAlreadyRunning);
// ERROR_PACKAGES_IN_USE: Zimlex runs, or a program holds it; tools retry later.
inline constexpr int kExitInUse = static_cast<int>(kErrorPackagesInUse);
// ERROR_INSTALL_LOG_FAILURE.
inline constexpr int kExitLogUnwritable = 1622;
// ERROR_INVALID_COMMAND_LINE.
inline constexpr int kExitInvalidCommandLine = 1639;

// A run's exit status: another updater's lock and a Zimlex.exe in use are told
// apart, so that deployment tools retry; the start answers the command line's
// and the log's.
[[nodiscard]] inline int ExitStatusOf(const Result& result) {
    if (result) {
        return kExitDone;
    }
    switch (result.Error()) {
    case kErrorInstallAlreadyRunning:
        return kExitBusy;
    case kErrorPackagesInUse:
        return kExitInUse;
    default:
        return kExitFailed;
    }
}
