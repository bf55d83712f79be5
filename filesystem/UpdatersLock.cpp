#include "UpdatersLock.h"

#include "FileIdentity.h"
#include "FileWriters.h"
#include "Paths.h"

namespace {

constexpr DWORD kRetryMs = 50;

} // namespace

Result UpdatersLock::Acquire(std::wstring_view destination, DWORD waitMs, Waits& waits,
                             UpdateLog& log) {
    // "<Program Files>\Zimlex\Zimlex.exe": two levels up.
    const std::wstring_view programFiles = FolderOf(FolderOf(destination));
    PathText path;
    if (programFiles.empty() || !path.Assign(programFiles, L"\\") ||
        !path.Append(kUpdatersLockName)) {
        return Result(ERROR_BAD_PATHNAME, {L"naming the updaters' lock beside ", destination});
    }
    AdministratorsOnly security;
    if (Result made = security.Make(); !made) {
        return made.In({L"taking the updaters' lock ", path.CStr()});
    }
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    bool waited = false;
    for (;;) {
        // Never through a link: the name is opened as it stands.
        file_.Reset(CreateFileW(
            path.CStr(), GENERIC_WRITE, 0, security.Attributes(), OPEN_ALWAYS,
            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        const DWORD error = file_ ? ERROR_SUCCESS : GetLastError();
        if (file_) {
            BY_HANDLE_FILE_INFORMATION info{};
            Result single = IsSingleOrdinaryFile(file_.Get(), info);
            if (!single) {
                file_.Reset();
                return single.In({L"taking the updaters' lock ", path.CStr()});
            }
            if (waited) {
                log.Step({L"the other updater has finished"});
            }
            return {};
        }
        // Nobody else may open it but for its attributes, which shares with
        // anything: a sharing violation is another updater.
        if (error != ERROR_SHARING_VIOLATION) {
            return Result(error, {L"taking the updaters' lock ", path.CStr()});
        }
        if (GetTickCount64() >= deadline) {
            return Result(kErrorInstallAlreadyRunning,
                          {L"another updater still holds the lock ", path.CStr()});
        }
        if (!waited) {
            log.Step({L"another updater is copying; waiting for it up to ",
                      NumberText(waitMs / 1000).View(), L" s"});
            waited = true;
        }
        static_cast<void>(waits.Wait(nullptr, kRetryMs));
    }
}
