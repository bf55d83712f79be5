#include "Win32FileSystem.h"

#include "Answering.h"
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
constexpr LONGLONG kFlushEvery = 16LL << 20U;
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
// growing pause that keeps the window answering, for about kSharingRetryMs.
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
        SleepAnswering(static_cast<DWORD>(std::min<ULONGLONG>(delay, deadline - now)));
        delay = std::min(delay * 2, kLongestRetryDelayMs);
    }
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
        // One flush of a whole large file could hold the window for seconds.
        if (copied % kFlushEvery == 0 && !FlushFileBuffers(output)) {
            return false;
        }
    }
    LARGE_INTEGER stagedSize{};
    return copied == expectedSize && GetFileSizeEx(output, &stagedSize) &&
           stagedSize.QuadPart == expectedSize;
}

[[nodiscard]] bool SetDeleteMark(HANDLE file, bool deleteIt) {
    FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(deleteIt)};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof(disposition)) != FALSE;
}

// Whether an open handle reaches exactly `path`, not a file that a link at
// that name leads to.
[[nodiscard]] bool ReachesExactly(HANDLE file, const TerminatedText& path) {
    std::array<wchar_t, MAX_PATH + 8> final{};
    const DWORD length =
        GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()), 0);
    constexpr std::wstring_view kLocal = L"\\\\?\\";
    const std::wstring_view reached(final.data(), length < final.size() ? length : 0);
    const std::wstring_view expected = path.CStr();
    return reached.starts_with(kLocal) &&
           CompareStringOrdinal(reached.data() + kLocal.size(),
                                static_cast<int>(reached.size() - kLocal.size()), expected.data(),
                                static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL;
}

// A staging file an earlier run left: one of an earlier version, killed
// half-way, under its one fixed name, or one killed in the instant of a rename
// attempt. It is removed through a handle on that name itself, and only when
// it is nobody's link: a hard link or a link planted there by another program
// is left as it is, and so is the file it leads to.
void RemoveStaleStagingFile(const TerminatedText& path) {
    UniqueFile stale;
    const bool opened = RetryWhileShared([&] {
        stale.Reset(CreateFileW(
            path.CStr(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0, nullptr,
            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return static_cast<bool>(stale);
    });
    BY_HANDLE_FILE_INFORMATION info{};
    if (!opened || !GetFileInformationByHandle(stale.Get(), &info) || info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        !ReachesExactly(stale.Get(), path)) {
        return;
    }
    // A read-only file cannot be deleted; the attribute is this file's alone.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        !SetFileInformationByHandle(stale.Get(), FileBasicInfo, &basic, sizeof(basic))) {
        return;
    }
    static_cast<void>(SetDeleteMark(stale.Get(), true));
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
            TerminatedText path;
            if (!path.Assign(destination, name.data()) || !path.Append(kStagingSuffix)) {
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
                return false;
            }
            file_.Reset(CreateFileW(path.CStr(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
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

    // The one step that changes the destination: before it the old executable
    // is untouched, after it the new one is complete.
    [[nodiscard]] bool RenameOver(std::wstring_view destination) {
        const bool renamed = RetryWhileShared([&] {
            // Unmarked only for the attempt, so a kill between attempts leaves nothing.
            if (!SetDeleteMark(file_.Get(), false)) {
                return false;
            }
            if (RenameOnce(destination)) {
                return true;
            }
            const DWORD error = GetLastError();
            static_cast<void>(SetDeleteMark(file_.Get(), true));
            SetLastError(error);
            return false;
        });
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

void RemoveStaleStagingFiles(std::wstring_view destination) {
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
            RemoveStaleStagingFile(path);
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
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    key.Reset(opened);
    TerminatedText x86;
    TerminatedText native;
    bool missing = false;
    if (!ReadFolder(key.Get(), L"ProgramFilesDir", native, missing)) {
        return false;
    }
    // 32-bit Windows has one Program Files folder; its 32-bit folder is that one.
    if (!ReadFolder(key.Get(), L"ProgramFilesDir (x86)", x86, missing)) {
        if (!missing) {
            return false;
        }
        return folders.Add(native.CStr());
    }
    const std::wstring_view first = x86.CStr();
    const std::wstring_view second = native.CStr();
    const bool same =
        CompareStringOrdinal(first.data(), static_cast<int>(first.size()), second.data(),
                             static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
    return folders.Add(first) && (same || folders.Add(second));
}

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

bool Win32FileSystem::OpenPayload(std::wstring_view source) {
    if (!payload_) {
        TerminatedText path;
        if (!path.Assign(source) || !publisher_.Prepare()) {
            return false;
        }
        // Shared for reading only: nobody may change, rename or replace the
        // payload while it is checked and copied into every folder, nor
        // rename the folder that holds it.
        payload_.Reset(CreateFileW(path.CStr(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!payload_ || !GetFileSizeEx(payload_.Get(), &payloadSize_) ||
            !GetFileTime(payload_.Get(), nullptr, nullptr, &payloadWriteTime_) ||
            !FindPayloadPath() || !publisher_.Accepts(payload_.Get(), payloadPath_.CStr())) {
            const DWORD error = GetLastError();
            payload_.Reset();
            SetLastError(error);
            return false;
        }
    }
    constexpr LARGE_INTEGER kStart{};
    return SetFilePointerEx(payload_.Get(), kStart, nullptr, FILE_BEGIN) != FALSE;
}

// The payload's version resource is read by name; the name comes from the
// open handle, which keeps it from changing.
bool Win32FileSystem::FindPayloadPath() {
    if (!PublisherCheck::Pinned()) {
        return true;
    }
    std::array<wchar_t, MAX_PATH> path{};
    const DWORD length =
        GetFinalPathNameByHandleW(payload_.Get(), path.data(), static_cast<DWORD>(path.size()), 0);
    if (length == 0 || length >= path.size()) {
        SetLastError(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return payloadPath_.Assign({path.data(), length});
}

bool Win32FileSystem::Copy(std::wstring_view source, std::wstring_view destination) {
    TerminatedText destinationPath;
    if (!destinationPath.Assign(destination)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }

    // Windows refuses to replace a read-only file, but Wine running as root
    // does not; ask the attribute so the answer is the same everywhere.
    const DWORD attributes = GetFileAttributesW(destinationPath.CStr());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }

    // Held from the first copy until the run ends. Another updater's copies
    // are waited for, boundedly, since anyone can create this name first.
    if (!updatersLock_) {
        updatersLock_ = AcquireMutexAnswering(kUpdatersMutexName, lockWaitMs_);
        if (!updatersLock_) {
            return false;
        }
    }
    // An empty payload is an interrupted download, never a new executable.
    if (!OpenPayload(source)) {
        return false;
    }
    if (payloadSize_.QuadPart == 0) {
        SetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    if (!publisher_.AllowsOver(payloadPath_.CStr(), destinationPath.CStr())) {
        return false;
    }

    RemoveStaleStagingFiles(destination);
    StagingFile staging;
    return staging.Create(destination, random_) &&
           CopyBytes(payload_.Get(), staging.Get(), payloadSize_.QuadPart) &&
           SetFileTime(staging.Get(), nullptr, nullptr, &payloadWriteTime_) &&
           FlushFileBuffers(staging.Get()) && staging.RenameOver(destination);
}
