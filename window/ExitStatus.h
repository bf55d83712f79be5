#pragma once

#include "FileLog.h"
#include "UpdateProcedure.h"

#include <string_view>

// The program's exit statuses, the codes deployment tools read (MSI's where
// one fits).
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
// ERROR_INSTALL_ALREADY_RUNNING: tools retry later.
inline constexpr int kExitBusy = 1618;
// ERROR_INSTALL_LOG_FAILURE.
inline constexpr int kExitLogUnwritable = 1622;
// ERROR_INVALID_COMMAND_LINE.
inline constexpr int kExitInvalidCommandLine = 1639;

// The exit status of a run that got as far as the update, with the log's
// closing line, which carries it as MSI's logs end with theirs.
[[nodiscard]] inline int EndOfRun(FileLog& log, UpdateOutcome outcome, bool busy) {
    const int status = outcome != UpdateOutcome::Failed ? kExitDone
                       : busy                           ? kExitBusy
                                                        : kExitFailed;
    const std::wstring_view meaning = outcome == UpdateOutcome::Updated        ? L" (updated)"
                                      : outcome == UpdateOutcome::NothingFound ? L" (nothing found)"
                                      : busy ? L" (another updater is busy: try again later)"
                                             : L" (failed)";
    log.Step({L"end of the update: exit status ", NumberText(status).View(), meaning});
    return status;
}
