#pragma once

#include "../UpdateProcedure.h"
#include "FileLog.h"
#include "Handles.h"
#include "PublisherCheck.h"
#include "TerminatedText.h"

#include <windows.h>

#include <string_view>

// Fills `bytes` with unpredictable bytes; the staging files are named by them.
using RandomSource = bool (*)(void* bytes, ULONG size);

[[nodiscard]] bool SystemRandom(void* bytes, ULONG size);

// How long an updater waits for another one to finish its copies. Two folders
// of a large payload on a slow disk, with their retries, take well under this.
inline constexpr DWORD kUpdatersLockWaitMs = 60000;

// The procedure's file operations on the Windows file system. One object
// serves one run: it holds the payload and the updaters' lock until it goes.
class Win32FileSystem final : public FileSystem {
public:
    // Every step and every Windows error goes to `log`.
    explicit Win32FileSystem(FileLog& log, RandomSource random = SystemRandom,
                             DWORD lockWaitMs = kUpdatersLockWaitMs)
        : log_(log), random_(random), lockWaitMs_(lockWaitMs) {}
    Win32FileSystem(const Win32FileSystem&) = delete;
    Win32FileSystem& operator=(const Win32FileSystem&) = delete;
    ~Win32FileSystem() = default;

    [[nodiscard]] bool ProgramFiles(ProgramFilesFolders& folders) override;
    [[nodiscard]] bool Probe(std::wstring_view pattern, FileName& firstFile) override;
    // The first copy opens `source`; every later copy of the run reads that
    // same open file, so all folders get the bytes of one payload.
    [[nodiscard]] bool Copy(std::wstring_view source, std::wstring_view destination) override;

    // Whether the run failed because another updater held the lock too long.
    [[nodiscard]] bool Busy() const { return busy_; }

private:
    // Held from the first copy until the run ends.
    [[nodiscard]] bool AcquireUpdatersLock();
    // Opened and checked at the first copy, rewound for every later one.
    [[nodiscard]] bool OpenPayload(std::wstring_view source);
    [[nodiscard]] bool HoldsPayload(const TerminatedText& destination);

    FileLog& log_;
    RandomSource random_;
    DWORD lockWaitMs_;
    PublisherCheck publisher_;
    HeldMutex updatersLock_;
    UniqueFile payload_;
    // For the log, and for the version resource, which is read by name; the
    // name comes from the open handle, which keeps it from changing.
    TerminatedText payloadPath_;
    LARGE_INTEGER payloadSize_{};
    FILETIME payloadWriteTime_{};
    bool busy_ = false;
};

// A copy stages the new bytes beside the destination under a name of its
// own, "Zimlex.exe.<16 hex digits>.new", and renames it into place only when
// they are complete and on disk.
inline constexpr std::wstring_view kStagingSuffix = L".new";

// Every updater on the machine, in any session, copies only while it holds this.
inline constexpr wchar_t kUpdatersMutexName[] = L"Global\\ZimlexUpdate.Copy";

// How long renaming and clearing a former staging file keep retrying while
// scanners or indexers hold a file.
inline constexpr ULONGLONG kSharingRetryMs = 3000;
