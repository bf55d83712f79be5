#include "StagingFile.h"

#include "FileIdentity.h"
#include "FileWriters.h"
#include "Paths.h"
#include "SystemProcedure.h"

#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace {

// The class's number on Windows 10 1809 and later; the headers name it only
// for programs that require that version.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

constexpr DWORD kFirstRetryDelayMs = 20;
constexpr DWORD kLongestRetryDelayMs = 500;

constexpr wchar_t kHexDigits[] = L"0123456789abcdef";

// Scanners, indexers and backup agents hold fresh files for a moment.
[[nodiscard]] bool IsTransientSharingError(WindowsError error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

// Repeats `attempt` while it fails on a file someone else holds, with a
// growing pause, for about kSharingRetryMs; `retrying(failure, pause)` hears
// of every failed attempt that is repeated.
template <typename Attempt, typename Retrying>
[[nodiscard]] Result RetryWhileShared(Waits& waits, Attempt attempt, Retrying retrying) {
    const ULONGLONG deadline = GetTickCount64() + kSharingRetryMs;
    DWORD delay = kFirstRetryDelayMs;
    for (;;) {
        Result result = attempt();
        const ULONGLONG now = GetTickCount64();
        if (result || !IsTransientSharingError(result.Error()) || now >= deadline) {
            return result;
        }
        const auto pause = static_cast<DWORD>(std::min<ULONGLONG>(delay, deadline - now));
        retrying(result, pause);
        static_cast<void>(waits.Wait(nullptr, pause));
        delay = std::min(delay * 2, kLongestRetryDelayMs);
    }
}

// A staging file an earlier run left: one of an earlier version, killed
// half-way, under its one fixed name, or one killed in the instant of a rename
// attempt. It is removed through a handle on that name itself, and only when
// it is an ordinary file of one name that administrators own: a link, a hard
// link or a file a user's program planted there is left as it is, and so is
// the file it leads to. One attempt: a file somebody holds waits for a later run.
[[nodiscard]] Result RemoveStaleStagingFile(const PathText& path, PSECURITY_DESCRIPTOR ours) {
    const UniqueFile stale(CreateFileW(
        path.CStr(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL, 0,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
        nullptr));
    if (!stale) {
        return Result(GetLastError());
    }
    BY_HANDLE_FILE_INFORMATION info{};
    UniqueLocalMemory descriptor;
    Result removed = IsSingleOrdinaryFile(stale.Get(), info);
    if (!removed || !(removed = ReachesExactly(stale.Get(), path.CStr())) ||
        !(removed = ReadSecurity(stale.Get(), OWNER_SECURITY_INFORMATION, descriptor)) ||
        !(removed = OwnedLikeThisRunsFiles(descriptor.Get(), ours))) {
        return removed;
    }
    // A read-only file cannot be deleted; the attribute is this file's alone.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        !SetFileInformationByHandle(stale.Get(), FileBasicInfo, &basic, sizeof(basic))) {
        return Result(GetLastError());
    }
    return SetDeleteMark(stale.Get(), true);
}

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

} // namespace

Result SystemRandom(void* bytes, ULONG size) {
    // Looked up, never imported: ADVAPI32 forwards RtlGenRandom to CRYPTBASE.dll,
    // which the loader would look for beside the program first.
    const UniqueModule bcrypt = LoadSystemLibrary(L"bcrypt.dll");
    const auto generate =
        bcrypt ? LookUpProcedure<decltype(&BCryptGenRandom)>(bcrypt.Get(), "BCryptGenRandom")
               : nullptr;
    if (generate == nullptr) {
        return Result(GetLastError(), {L"loading BCryptGenRandom from bcrypt.dll"});
    }
    const NTSTATUS status =
        generate(nullptr, static_cast<PUCHAR>(bytes), size, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    return status >= 0 ? Result() : Result(static_cast<DWORD>(HRESULT_FROM_NT(status)));
}

StagingFile::~StagingFile() {
    if (file_ && !renamed_) {
        static_cast<void>(SetDeleteMark(file_.Get(), true));
    }
}

Result StagingFile::Create(std::wstring_view destination, RandomSource random) {
    const auto failed = [&](WindowsError error) {
        return Result(error, {L"creating a staging file beside ", destination});
    };
    // A name that exists already, or a link at it, is never opened: another
    // random name is tried instead.
    constexpr int kAttempts = 8;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::array<BYTE, 8> bytes{};
        std::array<wchar_t, 2 * bytes.size() + 2> name{L'.'};
        if (Result drawn = random(bytes.data(), bytes.size()); !drawn) {
            return drawn.In({L"choosing a staging name beside ", destination});
        }
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            name[1 + 2 * i] = kHexDigits[bytes[i] >> 4U];
            name[2 + 2 * i] = kHexDigits[bytes[i] & 0xFU];
        }
        name[name.size() - 1] = L'\0';
        if (!path_.Assign(destination, name.data()) || !path_.Append(kStagingSuffix)) {
            return failed(ERROR_FILENAME_EXCED_RANGE);
        }
        file_.Reset(CreateFileW(
            path_.CStr(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT,
            nullptr));
        if (file_) {
            Result marked = SetDeleteMark(file_.Get(), true);
            if (!marked) {
                // Not deletable through its handle: better stranded empty than full.
                file_.Reset();
            }
            return marked.In({L"marking ", path_.CStr(), L" for deletion"});
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return failed(error);
        }
    }
    return failed(ERROR_FILE_EXISTS);
}

Result StagingFile::RenameOver(const PathText& destination) {
    Result renamed = RetryWhileShared(
        waits_,
        [&] {
            // Unmarked only for the attempt, so a kill between attempts leaves nothing.
            Result attempt = SetDeleteMark(file_.Get(), false);
            if (attempt && !(attempt = RenameOnce(destination.CStr()))) {
                static_cast<void>(SetDeleteMark(file_.Get(), true));
            }
            return attempt;
        },
        [&](const Result& failure, DWORD pause) {
            log_.Failure(
                Result(failure.Error(), {L"renaming ", Path(), L" over ", destination.CStr(),
                                         L", again in ", NumberText(pause).View(), L" ms"})
                    .Holding(destination.CStr()));
        });
    if (!renamed) {
        return renamed.In({L"renaming ", Path(), L" over ", destination.CStr()})
            .Holding(destination.CStr());
    }
    renamed_ = true;
    // Commits the rename to the disk's log. It has happened whatever this
    // answers, and the bytes were flushed before it.
    FlushFileBuffers(file_.Get());
    return {};
}

Result StagingFile::RenameOnce(std::wstring_view destination) {
    constexpr std::size_t kNameOffset = offsetof(FILE_RENAME_INFO, FileName);
    alignas(FILE_RENAME_INFO) std::array<std::byte, kNameOffset + MAX_PATH * sizeof(wchar_t)>
        buffer{};
    const std::size_t nameBytes = destination.size() * sizeof(wchar_t);
    if (kNameOffset + nameBytes + sizeof(wchar_t) > buffer.size()) {
        return Result(ERROR_FILENAME_EXCED_RANGE);
    }
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(buffer.data() + kNameOffset, destination.data(), nameBytes);
    const auto size = static_cast<DWORD>(buffer.size());

    // POSIX semantics also replace a file that others hold with delete
    // sharing; systems before Windows 10 1809 know only the plain rename.
    if (posixRename_) {
        const DWORD flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
        std::memcpy(buffer.data(), &flags, sizeof(flags));
        if (SetFileInformationByHandle(file_.Get(), kFileRenameInfoEx, info, size)) {
            return {};
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_FUNCTION &&
            error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_LEVEL) {
            return Result(error);
        }
        posixRename_ = false;
        std::memset(buffer.data(), 0, sizeof(flags));
    }
    info->ReplaceIfExists = TRUE;
    if (SetFileInformationByHandle(file_.Get(), FileRenameInfo, info, size)) {
        return {};
    }
    return Result(GetLastError());
}

void RemoveStaleStagingFiles(std::wstring_view destination, const StagingFile& ours,
                             UpdateLog& log) {
    const std::wstring_view folder = FolderOf(destination);
    const std::wstring_view executable = NameOf(destination);
    PathText pattern;
    UniqueLocalMemory ourSecurity;
    if (folder.empty() || !pattern.Assign(destination, L"*")) {
        return;
    }
    if (Result read = ReadSecurity(ours.Get(), OWNER_SECURITY_INFORMATION, ourSecurity); !read) {
        log.Failure(read.In({L"reading who owns ", ours.Path()}));
        return;
    }
    WIN32_FIND_DATAW entry{};
    const UniqueFind find(FindFirstFileW(pattern.CStr(), &entry));
    if (!find) {
        return;
    }
    // Each costs a moment at most, also when names were planted by the score.
    int tries = kMostStaleStagingFilesARun;
    do {
        PathText path;
        if (!IsStagingName(entry.cFileName, executable) || !path.Assign(folder, L"\\") ||
            !path.Append(entry.cFileName) || SameName(path.View(), ours.Path())) {
            continue;
        }
        const bool tried = tries > 0;
        Result removed = tried ? RemoveStaleStagingFile(path, ourSecurity.Get()) : Result();
        tries -= tried ? 1 : 0;
        log.Step({L"a staging file of an earlier run: ", path.CStr(),
                  !tried    ? L", left for a later run"
                  : removed ? L", deleted"
                            : L", left as it is"});
        if (!removed) {
            log.Failure(removed.In({L"removing it"}));
        }
    } while (FindNextFileW(find.Get(), &entry));
}
