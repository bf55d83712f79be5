#pragma once

#include "../UpdateProcedure.h"
#include "Handles.h"
#include "PublisherCheck.h"

#include <windows.h>

#include <string_view>

// The procedure's file operations on the Windows file system. One object
// serves one run: it holds the payload and the updaters' lock until it goes.
class Win32FileSystem final : public FileSystem {
public:
    Win32FileSystem() = default;
    Win32FileSystem(const Win32FileSystem&) = delete;
    Win32FileSystem& operator=(const Win32FileSystem&) = delete;
    ~Win32FileSystem() = default;

    [[nodiscard]] bool Probe(std::wstring_view pattern, FileName& firstFile) override;
    // The first copy opens `source`; every later copy of the run reads that
    // same open file, so all folders get the bytes of one payload.
    [[nodiscard]] bool Copy(std::wstring_view source, std::wstring_view destination) override;

private:
    // Held from the first copy until the run ends.
    [[nodiscard]] bool AcquireUpdatersLock();
    // Opened and checked at the first copy, rewound for every later one.
    [[nodiscard]] bool OpenPayload(std::wstring_view source);

    PublisherCheck publisher_;
    UniqueKernelObject updatersMutex_;
    HeldMutex heldMutex_;
    UniqueFile payload_;
    LARGE_INTEGER payloadSize_{};
    FILETIME payloadWriteTime_{};
};

// A copy stages the new bytes under this name beside the destination and
// renames it into place only when they are complete and on disk.
inline constexpr std::wstring_view kStagingSuffix = L".new";

// Every updater on the machine, in any session, copies only while it holds this.
inline constexpr wchar_t kUpdatersMutexName[] = L"Global\\ZimlexUpdate.Copy";

// How long creating the staging file and renaming it keep retrying while
// scanners or indexers hold a file.
inline constexpr ULONGLONG kSharingRetryMs = 3000;
