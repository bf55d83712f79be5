#pragma once

#include "Result.h"

// The program's exit statuses, the codes deployment tools read (MSI's where
// one fits).
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
// ERROR_INSTALL_ALREADY_RUNNING: tools retry later.
inline constexpr int kExitBusy = static_cast<int>(kErrorInstallAlreadyRunning);
// ERROR_INSTALL_LOG_FAILURE.
inline constexpr int kExitLogUnwritable = 1622;
// ERROR_INVALID_COMMAND_LINE.
inline constexpr int kExitInvalidCommandLine = 1639;

// A run's exit status: only another updater's lock is told apart, so that
// deployment tools retry; the start answers the command line's and the log's.
[[nodiscard]] inline int ExitStatusOf(const Result& result) {
    if (result) {
        return kExitDone;
    }
    return result.Error() == kErrorInstallAlreadyRunning ? kExitBusy : kExitFailed;
}
