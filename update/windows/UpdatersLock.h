#pragma once

#include "FileLog.h"
#include "Handles.h"
#include "Waits.h"

#include <windows.h>

// Every updater on the machine, in any session, copies only while it holds this.
inline constexpr wchar_t kUpdatersMutexName[] = L"Global\\ZimlexUpdate.Copy";

// How long an updater waits for another one to finish its copies. Two folders
// of a large payload on a slow disk, with their retries, take well under this.
inline constexpr DWORD kUpdatersLockWaitMs = 60000;

// Two updaters started together copy one after the other.
class UpdatersLock {
public:
    // Waits up to `waitMs` for another updater: ERROR_INSTALL_ALREADY_RUNNING
    // when it still holds the lock then. Held until this object goes.
    [[nodiscard]] Result Acquire(DWORD waitMs, Waits& waits, FileLog& log);

private:
    HeldMutex held_;
};
