#include "UpdatersLock.h"

#include <utility>

Result UpdatersLock::Acquire(DWORD waitMs, Waits& waits, FileLog& log) {
    UniqueKernelObject mutex(CreateMutexW(nullptr, FALSE, kUpdatersMutexName));
    if (!mutex) {
        return Result(GetLastError(), {L"taking the lock ", kUpdatersMutexName});
    }
    // A mutex abandoned by a killed owner is free.
    Result taken = waits.Wait(mutex.Get(), 0);
    if (!taken && taken.Error() == ERROR_TIMEOUT) {
        log.Step({L"another updater is copying; waiting for it up to ",
                  NumberText(waitMs / 1000).View(), L" s"});
        if ((taken = waits.Wait(mutex.Get(), waitMs))) {
            log.Step({L"the other updater has finished"});
        }
    }
    if (!taken && taken.Error() == ERROR_TIMEOUT) {
        // Anyone can create the name first; such a lock is waited for only boundedly.
        return Result(kErrorInstallAlreadyRunning,
                      {L"another updater still holds the lock ", kUpdatersMutexName});
    }
    if (taken) {
        held_ = HeldMutex(std::move(mutex));
    }
    return taken.In({L"waiting for the lock ", kUpdatersMutexName});
}
