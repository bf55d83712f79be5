#include "Win32FileSystem.h"

#include "Answering.h"
#include "FileLog.h"
#include "Files.h"
#include "Handles.h"
#include "TerminatedText.h"

#include <windows.h>
#include <ntsecapi.h>

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
// Flushed as it is written: one flush at the end of a large file could take
// seconds on a slow disk, with the window unanswered all that time.
constexpr LONGLONG kFlushEvery = 32LL << 20U;
static_assert(kFlushEvery % kBlockSize == 0);

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
    if (slash == std::wstring_view::npos || !folder.Assign({pattern.data(), slash})) {
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
// growing pause that keeps the window answering, for about kSharingRetryMs;
// `retrying(error, pause)` hears of every failed attempt that is repeated.
template <typename Attempt, typename Retrying>
[[nodiscard]] bool RetryWhileShared(Attempt attempt, Retrying retrying) {
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
        const auto pause = static_cast<DWORD>(std::min<ULONGLONG>(delay, deadline - now));
        retrying(error, pause);
        SleepAnswering(pause);
        delay = std::min(delay * 2, kLongestRetryDelayMs);
    }
}

template <typename Attempt> [[nodiscard]] bool RetryWhileShared(Attempt attempt) {
    return RetryWhileShared(attempt, [](DWORD, DWORD) {});
}

[[nodiscard]] bool CopyBytes(HANDLE input, HANDLE output, LONGLONG expectedSize) {
    const UniqueVirtualMemory block(
        VirtualAlloc(nullptr, kBlockSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!block) {
        return false;
    }
    AnswerPacer pacer;
    LONGLONG copied = 0;
    for (;;) {
        pacer.Step();
        DWORD read = 0;
        if (!ReadAt(input, copied, block.Get(), kBlockSize, read)) {
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
        // One flush of a whole large file could hold the window for seconds.
        if (copied % kFlushEvery == 0 && !FlushFileBuffers(output)) {
            return false;
        }
    }
    LARGE_INTEGER stagedSize{};
    if (copied == expectedSize && !GetFileSizeEx(output, &stagedSize)) {
        return false;
    }
    // Sizes that do not add up have no Windows error of their own.
    if (copied != expectedSize || stagedSize.QuadPart != expectedSize) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    return true;
}

// A staging file an earlier run left: one of an earlier version, killed
// half-way, under its one fixed name, or one killed in the instant of a rename
// attempt. It is removed through a handle on that name itself, and only when
// it is nobody's link: a hard link or a link planted there by another program
// is left as it is, and so is the file it leads to.
[[nodiscard]] bool RemoveStaleStagingFile(const TerminatedText& path) {
    UniqueFile stale;
    const bool opened = RetryWhileShared([&] {
        stale.Reset(CreateFileW(
            path.CStr(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0, nullptr,
            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return static_cast<bool>(stale);
    });
    BY_HANDLE_FILE_INFORMATION info{};
    if (!opened || !IsSingleOrdinaryFile(stale.Get(), info) ||
        !ReachesExactly(stale.Get(), path.CStr())) {
        return false;
    }
    // A read-only file cannot be deleted; the attribute is this file's alone.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        !SetFileInformationByHandle(stale.Get(), FileBasicInfo, &basic, sizeof(basic))) {
        return false;
    }
    return SetDeleteMark(stale.Get(), true);
}

// The new executable on its way in. Created under a name nobody can have
// planted, held open unshared from creation to rename, and marked for deletion
// all along but for the rename itself: a run killed at any point leaves nothing.
class StagingFile {
public:
    StagingFile() = default;
    StagingFile(const StagingFile&) = delete;
    StagingFile& operator=(const StagingFile&) = delete;
    ~StagingFile() {
        if (file_ && !renamed_) {
            static_cast<void>(SetDeleteMark(file_.Get(), true));
        }
    }

    [[nodiscard]] bool Create(std::wstring_view destination, RandomSource random) {
        // A name that exists already, or a link at it, is never opened: another
        // random name is tried instead.
        constexpr int kAttempts = 8;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            std::array<BYTE, 8> bytes{};
            std::array<wchar_t, 2 * bytes.size() + 2> name{L'.'};
            if (!random(bytes.data(), bytes.size())) {
                return false;
            }
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                name[1 + 2 * i] = kHexDigits[bytes[i] >> 4U];
                name[2 + 2 * i] = kHexDigits[bytes[i] & 0xFU];
            }
            name[name.size() - 1] = L'\0';
            if (!path_.Assign(destination, name.data()) || !path_.Append(kStagingSuffix)) {
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
                return false;
            }
            file_.Reset(CreateFileW(path_.CStr(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN |
                                        FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
            if (file_) {
                if (SetDeleteMark(file_.Get(), true)) {
                    return true;
                }
                const DWORD error = GetLastError();
                // Not deletable through its handle: better stranded empty than full.
                file_.Reset();
                SetLastError(error);
                return false;
            }
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
                return false;
            }
        }
        return false;
    }

    [[nodiscard]] HANDLE Get() const { return file_.Get(); }
    [[nodiscard]] const wchar_t* Path() const { return path_.CStr(); }

    // The one step that changes the destination: before it the old executable
    // is untouched, after it the new one is complete.
    [[nodiscard]] bool RenameOver(const TerminatedText& destination, FileLog& log) {
        const auto retrying = [&](DWORD error, DWORD pause) {
            log.Failure({L"renaming ", Path(), L" over ", destination.CStr(), L", again in ",
                         NumberText(pause).View(), L" ms"},
                        error, destination.CStr());
        };
        const bool renamed = RetryWhileShared(
            [&] {
                // Unmarked only for the attempt, so a kill between attempts leaves nothing.
                if (!SetDeleteMark(file_.Get(), false)) {
                    return false;
                }
                if (RenameOnce(destination.CStr())) {
                    return true;
                }
                const DWORD error = GetLastError();
                static_cast<void>(SetDeleteMark(file_.Get(), true));
                SetLastError(error);
                return false;
            },
            retrying);
        if (!renamed) {
            return false;
        }
        renamed_ = true;
        // Commits the rename to the disk's log. It has happened whatever this
        // answers, and the bytes were flushed before it.
        FlushFileBuffers(file_.Get());
        return true;
    }

private:
    static constexpr wchar_t kHexDigits[] = L"0123456789abcdef";

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
    TerminatedText path_;
    bool renamed_ = false;
    bool posixRename_ = true;
};

// Whether `name` is one this program stages under: "Zimlex.exe.new", or
// "Zimlex.exe.<16 hex digits>.new".
[[nodiscard]] bool IsStagingName(std::wstring_view name, std::wstring_view executable) {
    constexpr std::size_t kDigits = 16;
    if (!name.starts_with(executable) || !name.ends_with(kStagingSuffix)) {
        return false;
    }
    name = {name.data() + executable.size(),
            name.size() - executable.size() - kStagingSuffix.size()};
    return name.empty() || (name.size() == kDigits + 1 && name[0] == L'.' &&
                            std::all_of(name.begin() + 1, name.end(), [](wchar_t c) {
                                return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
                            }));
}

void RemoveStaleStagingFiles(std::wstring_view destination, FileLog& log) {
    const std::size_t slash = destination.rfind(L'\\');
    TerminatedText pattern;
    if (slash == std::wstring_view::npos || !pattern.Assign(destination, L"*")) {
        return;
    }
    const std::wstring_view folder(destination.data(), slash + 1);
    const std::wstring_view executable(destination.data() + slash + 1,
                                       destination.size() - slash - 1);
    WIN32_FIND_DATAW entry{};
    const UniqueFind find(FindFirstFileW(pattern.CStr(), &entry));
    if (!find) {
        return;
    }
    do {
        TerminatedText path;
        if (IsStagingName(entry.cFileName, executable) && path.Assign(folder, entry.cFileName)) {
            log.Step({L"a staging file of an earlier run: ", path.CStr(),
                      RemoveStaleStagingFile(path) ? L", deleted" : L", left as it is"});
        }
    } while (FindNextFileW(find.Get(), &entry));
}

} // namespace

bool SystemRandom(void* bytes, ULONG size) {
    return RtlGenRandom(bytes, size) != FALSE;
}

namespace {

// Where the system keeps its Program Files folders. Only administrators can
// change it, unlike the environment, which whoever starts the program sets.
constexpr wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// One folder from the key: false when it is missing or not a plain
// absolute path; `missing` tells the first apart.
[[nodiscard]] bool ReadFolder(HKEY key, const wchar_t* name, TerminatedText& folder,
                              bool& missing) {
    std::array<wchar_t, MAX_PATH> value{};
    DWORD type = 0;
    // Room for a terminating zero the stored value may lack.
    DWORD size = (value.size() - 1) * sizeof(wchar_t);
    const LSTATUS status =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size);
    missing = status == ERROR_FILE_NOT_FOUND;
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    // Never expanded: environment variables are the caller's to set.
    // The folder is named without a closing backslash, "D:" for a drive's root.
    std::wstring_view path(value.data());
    while (!path.empty() && path.back() == L'\\') {
        path.remove_suffix(1);
    }
    const wchar_t drive = path.empty() ? L'\0' : static_cast<wchar_t>(path[0] | 0x20U);
    const bool absolute = path.size() >= 2 && drive >= L'a' && drive <= L'z' && path[1] == L':' &&
                          (path.size() == 2 || path[2] == L'\\');
    if (type != REG_SZ || !absolute || !folder.Assign(path)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    return true;
}

} // namespace

bool Win32FileSystem::ProgramFiles(ProgramFilesFolders& folders) {
    UniqueRegistryKey key;
    HKEY opened = nullptr;
    // The 64-bit view: a 32-bit program otherwise reads its own folder twice.
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0,
                                         KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened);
    if (status != ERROR_SUCCESS) {
        log_.Failure({L"opening HKLM\\", kCurrentVersionKey}, static_cast<DWORD>(status));
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    key.Reset(opened);
    TerminatedText x86;
    TerminatedText native;
    bool missing = false;
    if (!ReadFolder(key.Get(), L"ProgramFilesDir", native, missing)) {
        log_.Failure({L"reading ProgramFilesDir of HKLM\\", kCurrentVersionKey}, GetLastError());
        return false;
    }
    // 32-bit Windows has one Program Files folder; its 32-bit folder is that one.
    if (!ReadFolder(key.Get(), L"ProgramFilesDir (x86)", x86, missing)) {
        if (!missing) {
            log_.Failure({L"reading ProgramFilesDir (x86) of HKLM\\", kCurrentVersionKey},
                         GetLastError());
            return false;
        }
        log_.Step({L"Program Files folder: ", native.CStr()});
        return folders.Add(native.CStr());
    }
    const std::wstring_view first = x86.CStr();
    const std::wstring_view second = native.CStr();
    const bool same = SameName(first, second);
    if (same) {
        log_.Step({L"Program Files folder: ", first});
    } else {
        log_.Step({L"Program Files folders: ", first, L", then ", second});
    }
    return folders.Add(first) && (same || folders.Add(second));
}

bool Win32FileSystem::Probe(std::wstring_view pattern, FileName& firstFile) {
    firstFile.Clear();
    TerminatedText path;
    if (!path.Assign(pattern)) {
        log_.Failure({L"probing ", pattern}, ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    WIN32_FIND_DATAW entry{};
    const UniqueFind find(FindFirstFileW(path.CStr(), &entry));
    if (!find) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES || !IsFolder(pattern)) {
            return true;
        }
        log_.Failure({L"probing ", pattern}, error);
        return false;
    }
    do {
        if ((entry.dwFileAttributes & kNotOrdinary) == 0) {
            return firstFile.Assign(entry.cFileName);
        }
    } while (FindNextFileW(find.Get(), &entry));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        log_.Failure({L"probing ", pattern}, error);
        return false;
    }
    return true;
}

bool Win32FileSystem::AcquireUpdatersLock() {
    if (updatersLock_) {
        return true;
    }
    updatersLock_ = AcquireMutexAnswering(kUpdatersMutexName, 0);
    if (!updatersLock_ && GetLastError() == ERROR_TIMEOUT) {
        log_.Step({L"another updater is copying; waiting for it up to ",
                   NumberText(lockWaitMs_ / 1000).View(), L" s"});
        updatersLock_ = AcquireMutexAnswering(kUpdatersMutexName, lockWaitMs_);
        if (updatersLock_) {
            log_.Step({L"the other updater has finished"});
        }
    }
    if (!updatersLock_) {
        const DWORD error = GetLastError();
        // Anyone can create the name first; such a lock is waited for only boundedly.
        busy_ = error == ERROR_TIMEOUT;
        log_.Failure({busy_ ? L"another updater still holds the lock " : L"taking the lock ",
                      kUpdatersMutexName},
                     error);
        SetLastError(error);
        return false;
    }
    return true;
}

bool Win32FileSystem::OpenPayload(std::wstring_view source) {
    if (!payload_) {
        TerminatedText path;
        if (!path.Assign(source)) {
            log_.Failure({L"opening the payload ", source}, ERROR_FILENAME_EXCED_RANGE);
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        if (!publisher_.Prepare()) {
            const DWORD error = GetLastError();
            log_.Failure({L"preparing the payload's checks"}, error);
            SetLastError(error);
            return false;
        }
        // Shared for reading only: nobody may change, rename or replace the
        // payload while it is checked and copied into every folder, nor
        // rename the folder that holds it. Never through a link: the download
        // folder is the user's, and what a link there leads to may be a file
        // only administrators can read.
        payload_.Reset(
            CreateFileW(path.CStr(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!payload_ || !IsPlainFileNamed(payload_.Get(), path.CStr()) ||
            !GetFileSizeEx(payload_.Get(), &payloadSize_) ||
            !GetFileTime(payload_.Get(), nullptr, nullptr, &payloadWriteTime_) ||
            !FinalPath(payload_.Get(), payloadPath_)) {
            const DWORD error = GetLastError();
            log_.Failure({L"opening the payload ", source}, error);
            payload_.Reset();
            SetLastError(error);
            return false;
        }
        log_.Step({L"payload ", payloadPath_.CStr(), L": ",
                   NumberText(payloadSize_.QuadPart).View(), L" bytes"});
        if (!publisher_.Accepts(payload_.Get(), payloadPath_.CStr(), log_)) {
            const DWORD error = GetLastError();
            payload_.Reset();
            SetLastError(error);
            return false;
        }
    }
    return true;
}

// Whether the installed executable already holds exactly the payload's bytes,
// read without any access that a running program's file would refuse.
bool Win32FileSystem::HoldsPayload(const TerminatedText& destination) {
    const UniqueFile installed(CreateFileW(
        destination.CStr(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!installed || !GetFileSizeEx(installed.Get(), &size) ||
        size.QuadPart != payloadSize_.QuadPart) {
        return false;
    }
    const UniqueVirtualMemory blocks(
        VirtualAlloc(nullptr, 2 * kBlockSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!blocks) {
        return false;
    }
    auto* const ours = static_cast<BYTE*>(blocks.Get());
    BYTE* const theirs = ours + kBlockSize;
    AnswerPacer pacer;
    for (LONGLONG offset = 0;; offset += kBlockSize) {
        pacer.Step();
        DWORD read = 0;
        DWORD readThere = 0;
        if (!ReadAt(payload_.Get(), offset, ours, kBlockSize, read) ||
            !ReadAt(installed.Get(), offset, theirs, kBlockSize, readThere) || read != readThere ||
            std::memcmp(ours, theirs, read) != 0) {
            return false;
        }
        if (read == 0) {
            return true;
        }
    }
}

bool Win32FileSystem::Copy(std::wstring_view source, std::wstring_view destination) {
    TerminatedText destinationPath;
    if (!destinationPath.Assign(destination)) {
        log_.Failure({L"copying to ", destination}, ERROR_FILENAME_EXCED_RANGE);
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    // Held from the first copy until the run ends.
    if (!AcquireUpdatersLock() || !OpenPayload(source)) {
        return false;
    }
    // An empty payload is an interrupted download, never a new executable.
    if (payloadSize_.QuadPart == 0) {
        log_.Failure({L"the payload is empty"}, ERROR_HANDLE_EOF);
        SetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    // A second deployment of the same payload changes nothing, also while
    // Zimlex.exe runs.
    if (HoldsPayload(destinationPath)) {
        log_.Step({destination, L" already holds the payload's bytes: left as it is"});
        return true;
    }

    // Windows refuses to replace a read-only file, but Wine running as root
    // does not; ask the attribute so the answer is the same everywhere.
    const DWORD attributes = GetFileAttributesW(destinationPath.CStr());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        log_.Failure({destination, L" is read-only or a folder"}, ERROR_ACCESS_DENIED);
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (!publisher_.AllowsOver(payloadPath_.CStr(), destinationPath.CStr(), log_)) {
        return false;
    }

    RemoveStaleStagingFiles(destination, log_);
    StagingFile staging;
    if (!staging.Create(destination, random_)) {
        const DWORD error = GetLastError();
        log_.Failure({L"creating a staging file beside ", destination}, error);
        SetLastError(error);
        return false;
    }
    log_.Step({L"staging file created: ", staging.Path()});
    if (!CopyBytes(payload_.Get(), staging.Get(), payloadSize_.QuadPart) ||
        !SetFileTime(staging.Get(), nullptr, nullptr, &payloadWriteTime_) ||
        !FlushFileBuffers(staging.Get())) {
        const DWORD error = GetLastError();
        log_.Failure({L"copying the payload to ", staging.Path()}, error);
        SetLastError(error);
        return false;
    }
    log_.Step({L"copied and flushed ", NumberText(payloadSize_.QuadPart).View(), L" bytes"});
    if (!staging.RenameOver(destinationPath, log_)) {
        const DWORD error = GetLastError();
        log_.Failure({L"renaming ", staging.Path(), L" over ", destination}, error,
                     destinationPath.CStr());
        SetLastError(error);
        return false;
    }
    log_.Step({L"renamed over ", destination});
    return true;
}
