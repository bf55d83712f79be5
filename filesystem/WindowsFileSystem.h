#pragma once

#include "Payload.h"
#include "PublisherCheck.h"
#include "StagingFile.h"
#include "UpdateProcedure.h"
#include "UpdatersLock.h"
#include "Waits.h"

#include <windows.h>

#include <string_view>

// The procedure's file operations on the Windows file system. One object
// serves one run: it holds the updaters' lock and the payload until it goes.
class WindowsFileSystem final : public FileSystem {
public:
    // Steps go to `log`; every long step waits and paces itself through `waits`.
    WindowsFileSystem(UpdateLog& log, Waits& waits, RandomSource random = SystemRandom,
                      DWORD lockWaitMs = kUpdatersLockWaitMs)
        : log_(log), waits_(waits), random_(random), lockWaitMs_(lockWaitMs) {}

    [[nodiscard]] Result ProgramFiles(ProgramFilesFolders& folders) override;
    [[nodiscard]] Result Probe(std::wstring_view pattern, FileName& firstFile) override;
    [[nodiscard]] Result OpenPayload(std::wstring_view source) override;
    // Takes the updaters' lock at the first installation: one updater at a
    // time compares and copies.
    [[nodiscard]] Result Install(std::wstring_view destination) override;

private:
    UpdateLog& log_;
    Waits& waits_;
    RandomSource random_;
    DWORD lockWaitMs_;
    UpdatersLock lock_;
    PublisherCheck publisher_;
    Payload payload_;
};
