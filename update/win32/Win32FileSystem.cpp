#include "Win32FileSystem.h"

#include "Handles.h"
#include "TerminatedText.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace {

constexpr DWORD kNotOrdinary =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// The cache manager's own view size. 64 KiB blocks copied a fifth slower, and
// 1 MiB blocks at times six times slower, for many copies in a row.
constexpr DWORD kBlockSize = 256U << 10U;

// The class's number on Windows 10 1809 and later; the headers name it only
// for programs that require that version.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

constexpr DWORD kFirstRetryDelayMs = 20;
constexpr DWORD kLongestRetryDelayMs = 500;

// Whether the folder of a "folder\*.*" pattern exists as a folder. Systems
// disagree on the error a search gives when a file stands in its place, so
// the folder itself is asked.
[[nodiscard]] bool IsFolder(std::wstring_view pattern) {
    const std::size_t slash = pattern.rfind(L'\\');
    TerminatedText folder;
    if (slash == std::wstring_view::npos || !folder.Assign(pattern.substr(0, slash))) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(folder.CStr());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Scanners, indexers and backup agents hold fresh files for a moment.
[[nodiscard]] bool IsTransientSharingError(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

// Repeats `attempt` while it fails on a file someone else holds, with a
// growing pause, for about kSharingRetryMs in all.
template <typename Attempt> [[nodiscard]] bool RetryWhileShared(Attempt attempt) {
    const ULONGLONG deadline = GetTickCount64() + kSharingRetryMs;
    DWORD delay = kFirstRetryDelayMs;
    for (;;) {
        if (attempt()) {
            return true;
        }
        const DWORD error = GetLastError();
        const ULONGLONG now = GetTickCount64();
        if (!IsTransientSharingError(error) || now >= deadline) {
            SetLastError(error);
            return false;
        }
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(delay, deadline - now)));
        delay = std::min(delay * 2, kLongestRetryDelayMs);
    }
}

[[nodiscard]] bool CopyBytes(HANDLE input, HANDLE output, LONGLONG expectedSize) {
    const UniqueVirtualMemory block(
        VirtualAlloc(nullptr, kBlockSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!block) {
        return false;
    }
    LONGLONG copied = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(input, block.Get(), kBlockSize, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        DWORD written = 0;
        if (!WriteFile(output, block.Get(), read, &written, nullptr) || written != read) {
            return false;
        }
        copied += read;
    }
    LARGE_INTEGER stagedSize{};
    return copied == expectedSize && GetFileSizeEx(output, &stagedSize) &&
           stagedSize.QuadPart == expectedSize;
}

// The new executable on its way in. It is held open, unshared, from creation
// to rename, so no other process can change, hold or strand it; unless it was
// renamed into place it deletes itself through that same handle.
class StagingFile {
public:
    StagingFile() = default;
    StagingFile(const StagingFile&) = delete;
    StagingFile& operator=(const StagingFile&) = delete;
    ~StagingFile() {
        if (file_ && !renamed_) {
            FILE_DISPOSITION_INFO disposition{TRUE};
            SetFileInformationByHandle(file_.Get(), FileDispositionInfo, &disposition,
                                       sizeof(disposition));
        }
    }

    [[nodiscard]] bool Create(const TerminatedText& path) {
        return RetryWhileShared([&] {
            // A run killed half-way leaves its staging file, possibly read-only
            // or hidden from an earlier copy; this run replaces it.
            SetFileAttributesW(path.CStr(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.CStr());
            file_.Reset(CreateFileW(path.CStr(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            return static_cast<bool>(file_);
        });
    }

    [[nodiscard]] HANDLE Get() const { return file_.Get(); }

    // The one step that changes the destination: before it the old executable
    // is untouched, after it the new one is complete.
    [[nodiscard]] bool RenameOver(std::wstring_view destination) {
        if (!RetryWhileShared([&] { return RenameOnce(destination); })) {
            return false;
        }
        renamed_ = true;
        // Commits the rename to the disk's log. It has happened whatever this
        // answers, and the bytes were flushed before it.
        FlushFileBuffers(file_.Get());
        return true;
    }

private:
    [[nodiscard]] bool RenameOnce(std::wstring_view destination) {
        constexpr std::size_t kNameOffset = offsetof(FILE_RENAME_INFO, FileName);
        alignas(FILE_RENAME_INFO) std::array<std::byte, kNameOffset + MAX_PATH * sizeof(wchar_t)>
            buffer{};
        const std::size_t nameBytes = destination.size() * sizeof(wchar_t);
        if (kNameOffset + nameBytes + sizeof(wchar_t) > buffer.size()) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        info->FileNameLength = static_cast<DWORD>(nameBytes);
        std::memcpy(buffer.data() + kNameOffset, destination.data(), nameBytes);
        const auto size = static_cast<DWORD>(buffer.size());

        // POSIX semantics also replace a file that others hold with delete
        // sharing; systems before Windows 10 1809 know only the plain rename.
        if (posixRename_) {
            const DWORD flags =
                FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
            std::memcpy(buffer.data(), &flags, sizeof(flags));
            if (SetFileInformationByHandle(file_.Get(), kFileRenameInfoEx, info, size)) {
                return true;
            }
            const DWORD error = GetLastError();
            if (error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_FUNCTION &&
                error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_LEVEL) {
                return false;
            }
            posixRename_ = false;
            std::memset(buffer.data(), 0, sizeof(flags));
        }
        info->ReplaceIfExists = TRUE;
        return SetFileInformationByHandle(file_.Get(), FileRenameInfo, info, size) != FALSE;
    }

    UniqueFile file_;
    bool renamed_ = false;
    bool posixRename_ = true;
};

} // namespace

bool Win32FileSystem::Probe(std::wstring_view pattern, FileName& firstFile) {
    firstFile.Clear();
    TerminatedText path;
    if (!path.Assign(pattern)) {
        return false;
    }
    WIN32_FIND_DATAW entry{};
    const UniqueFind find(FindFirstFileW(path.CStr(), &entry));
    if (!find) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES || !IsFolder(pattern);
    }
    do {
        if ((entry.dwFileAttributes & kNotOrdinary) == 0) {
            return firstFile.Assign(entry.cFileName);
        }
    } while (FindNextFileW(find.Get(), &entry));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

bool Win32FileSystem::AcquireUpdatersLock() {
    if (heldMutex_) {
        return true;
    }
    updatersMutex_.Reset(CreateMutexW(nullptr, FALSE, kUpdatersMutexName));
    if (!updatersMutex_) {
        return false;
    }
    // No window messages are handled while another updater copies, as during
    // a copy. A mutex abandoned by a killed updater is free.
    const DWORD waited = WaitForSingleObject(updatersMutex_.Get(), INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        return false;
    }
    heldMutex_.Reset(updatersMutex_.Get());
    return true;
}

bool Win32FileSystem::OpenPayload(std::wstring_view source) {
    if (!payload_) {
        TerminatedText path;
        if (!path.Assign(source) || !publisher_.Prepare()) {
            return false;
        }
        // Shared for reading only: nobody may change the payload while it is
        // checked and copied into every folder.
        payload_.Reset(CreateFileW(path.CStr(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!payload_ || !GetFileSizeEx(payload_.Get(), &payloadSize_) ||
            !GetFileTime(payload_.Get(), nullptr, nullptr, &payloadWriteTime_) ||
            !publisher_.Accepts(payload_.Get(), path.CStr())) {
            payload_.Reset();
            return false;
        }
    }
    constexpr LARGE_INTEGER kStart{};
    return SetFilePointerEx(payload_.Get(), kStart, nullptr, FILE_BEGIN) != FALSE;
}

bool Win32FileSystem::Copy(std::wstring_view source, std::wstring_view destination) {
    TerminatedText stagingPath;
    TerminatedText destinationPath;
    if (!destinationPath.Assign(destination) || !stagingPath.Assign(destination, kStagingSuffix)) {
        return false;
    }

    // Windows refuses to replace a read-only file, but Wine running as root
    // does not; ask the attribute so the answer is the same everywhere.
    const DWORD attributes = GetFileAttributesW(destinationPath.CStr());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return false;
    }

    // An empty payload is an interrupted download, never a new executable.
    if (!AcquireUpdatersLock() || !OpenPayload(source) || payloadSize_.QuadPart == 0) {
        return false;
    }

    StagingFile staging;
    return staging.Create(stagingPath) &&
           CopyBytes(payload_.Get(), staging.Get(), payloadSize_.QuadPart) &&
           SetFileTime(staging.Get(), nullptr, nullptr, &payloadWriteTime_) &&
           FlushFileBuffers(staging.Get()) && staging.RenameOver(destination);
}
