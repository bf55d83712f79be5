#include "WindowsFileSystem.h"

#include "AppsAndFeatures.h"
#include "FileHolders.h"
#include "FileIdentity.h"
#include "Handles.h"
#include "Paths.h"
#include "ProgramFilesLookup.h"

namespace {

constexpr DWORD kNotOrdinary =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// Whether the folder of a "folder\*.*" pattern exists as a folder. Systems
// disagree on the error a search gives when a file stands in its place, so
// the folder itself is asked.
[[nodiscard]] bool IsFolder(std::wstring_view pattern) {
    const std::wstring_view parent = FolderOf(pattern);
    PathText folder;
    if (parent.empty() || !folder.Assign(parent)) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(folder.CStr());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

Result WindowsFileSystem::ProgramFiles(ProgramFilesFolders& folders) {
    return LookUpProgramFiles(folders, log_);
}

Result WindowsFileSystem::Probe(std::wstring_view pattern, FileName& firstFile) {
    firstFile.Clear();
    PathText path;
    if (!path.Assign(pattern)) {
        return Result(ERROR_FILENAME_EXCED_RANGE, {L"probing ", pattern});
    }
    WIN32_FIND_DATAW entry{};
    const UniqueFind find(FindFirstFileW(path.CStr(), &entry));
    if (!find) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES || !IsFolder(pattern)) {
            return {};
        }
        return Result(error, {L"probing ", pattern});
    }
    do {
        if ((entry.dwFileAttributes & kNotOrdinary) == 0) {
            // A found name is shorter than MAX_PATH, and so always fits.
            static_cast<void>(firstFile.Assign(entry.cFileName));
            return {};
        }
    } while (FindNextFileW(find.Get(), &entry));
    const DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? Result() : Result(error, {L"probing ", pattern});
}

Result WindowsFileSystem::OpenPayload(std::wstring_view source) {
    if (Result prepared = publisher_.Prepare(); !prepared) {
        return prepared;
    }
    if (!PublisherCheck::Pinned()) {
        log_.Step({L"no publisher pinned in this build: any payload is installed"});
    }
    return payload_.Open(source, log_);
}

Result WindowsFileSystem::Install(std::wstring_view destination) {
    PathText path;
    if (!path.Assign(destination)) {
        return Result(ERROR_FILENAME_EXCED_RANGE, {L"copying to ", destination});
    }
    // Held from the first installation until the run ends.
    if (!lock_) {
        if (Result locked = lock_.Acquire(destination, lockWaitMs_, waits_, log_); !locked) {
            return locked;
        }
    }
    // A second deployment of the same payload changes nothing, also while
    // Zimlex.exe runs; the file is closed again before the rename.
    if (const UniqueFile installed = OpenToRead(path.CStr()); installed) {
        bool same = false;
        if (Result compared = payload_.Compare(installed.Get(), same, waits_); !compared) {
            // A copy needs no comparison: it goes on.
            log_.Failure(compared.In({L"comparing ", destination, L" with the payload"}));
        } else if (same) {
            log_.Step({destination, L" already holds the payload's bytes: left as it is"});
            // An earlier updater may have left the record behind.
            RecordInstalledVersion(installed.Get(), path, log_);
            return {};
        }
    }
    // Windows refuses to replace a read-only file, but Wine running as root
    // does not; ask the attribute so the answer is the same everywhere.
    const DWORD attributes = GetFileAttributesW(path.CStr());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return Result(ERROR_ACCESS_DENIED, {destination, L" is read-only or a folder"});
    }

    StagingFile staging(waits_, log_);
    if (Result created = staging.Create(destination, random_); !created) {
        return created;
    }
    log_.Step({L"staging file created: ", staging.Path()});
    RemoveStaleStagingFiles(destination, staging, log_);
    if (Result copied = payload_.CopyTo(staging.Get(), waits_); !copied) {
        return copied.In({L"copying the payload to ", staging.Path()});
    }
    log_.Step({L"copied and flushed ", NumberText(payload_.Size()).View(), L" bytes"});
    // What is renamed into place is what was checked: nobody else can open
    // the staged copy, let alone write to it or map it.
    if (Result accepted =
            publisher_.AcceptsStaged(staging.Get(), staging.Path(), path.CStr(), log_);
        !accepted) {
        return accepted;
    }
    if (Result renamed = staging.RenameOver(path); !renamed) {
        // A Zimlex that runs is the commonest reason on a fleet, and one that
        // passes: deployment tools retry it later, as they do nothing else.
        if (renamed.Error() != ERROR_SHARING_VIOLATION && !IsHeld(destination)) {
            return renamed;
        }
        log_.Failure(renamed);
        return Result(kErrorPackagesInUse, {destination, L" is in use"}).Holding(destination);
    }
    log_.Step({L"renamed over ", destination});
    // Through the staging file's handle, which now holds Zimlex.exe unshared.
    RecordInstalledVersion(staging.Get(), path, log_);
    return {};
}
