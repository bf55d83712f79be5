#pragma once

#include "Handles.h"
#include "UpdateProcedure.h"
#include "Waits.h"

#include <windows.h>

#include <string_view>

// Beside the installation folders, in the Program Files folder that holds
// them, where only administrators can create files: no standard user can
// take the lock's name first, as anyone can a named object's.
inline constexpr std::wstring_view kUpdatersLockName = L"ZimlexUpdate.lock";

// How long an updater waits for another one to finish its copies. Two folders
// of a large payload on a slow disk, with their retries, take well under this.
inline constexpr DWORD kUpdatersLockWaitMs = 60000;

// Two updaters started together copy one after the other. The lock is a file
// held open unshared. It is made once, for administrators and the system
// alone, and kept: deleted on close, anybody's handle on it could leave it
// pending deletion and refuse every later updater.
class UpdatersLock {
public:
    [[nodiscard]] explicit operator bool() const { return static_cast<bool>(file_); }

    // Takes the lock of the Program Files folder above `destination`, waiting
    // up to `waitMs` for another updater: ERROR_INSTALL_ALREADY_RUNNING when
    // it still holds the lock then; any other failure at once. Held until
    // this object goes.
    [[nodiscard]] Result Acquire(std::wstring_view destination, DWORD waitMs, Waits& waits,
                                 UpdateLog& log);

private:
    UniqueFile file_;
};
