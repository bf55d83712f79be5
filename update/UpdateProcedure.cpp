#include "UpdateProcedure.h"

#include "ExitStatus.h"
#include "UpdateTargets.h"

std::wstring_view TrimSpaces(std::wstring_view text) {
    while (!text.empty() && text.front() == L' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == L' ') {
        text.remove_suffix(1);
    }
    return text;
}

namespace {

// The trapped stretch: the first failure abandons the rest of the list, and
// folders already updated stay updated.
Result UpdateEachTarget(StatusWindow& window, FileSystem& files, UpdateLog& log, bool& updated) {
    ProgramFilesFolders folders;
    if (Result found = files.ProgramFiles(folders); !found) {
        return found;
    }
    bool payloadOpen = false;
    for (const PathText& programFiles : folders) {
        UpdateTarget target;
        FileName firstFile;
        if (!target.For(programFiles.View())) {
            return Result(kErrorFilenameTooLong,
                          {L"naming the folders below ", programFiles.View()});
        }
        if (Result probed = files.Probe(target.probePattern.View(), firstFile); !probed) {
            return probed;
        }
        if (TrimSpaces(firstFile.View()).empty()) {
            log.Step({L"probe ", target.probePattern.View(), L": no ordinary file, not installed"});
            continue;
        }
        log.Step({L"probe ", target.probePattern.View(), L": found ", firstFile.View()});
        if (!payloadOpen) {
            if (Result opened = files.OpenPayload(kPayload); !opened) {
                return opened;
            }
            payloadOpen = true;
        }
        if (Result installed = files.Install(target.destination.View()); !installed) {
            return installed;
        }
        if (!window.SetStatusText(target.successText.View())) {
            return Result(kErrorInsufficientBuffer, {L"showing ", target.successText.View()});
        }
        log.Step({L"status: ", target.successText.View()});
        updated = true;
    }
    return {};
}

// Closes the run's part of the log as MSI's logs end, and answers the status.
int Ended(UpdateLog& log, int status, std::wstring_view meaning) {
    log.Step({L"end of the update: exit status ", NumberText(status).View(), meaning});
    return status;
}

} // namespace

int RunUpdate(StatusWindow& window, FileSystem& files, UpdateLog& log) {
    // A click on Ok that was already waiting ends the program before anything is looked at.
    if (window.HandlePendingMessages()) {
        return Ended(log, kExitDone, L" (the program was ended before the update began)");
    }
    bool updated = false;
    const Result result = UpdateEachTarget(window, files, log, updated);
    if (!result) {
        log.Failure(result);
        log.Step({L"status: ", kFailureText});
        // Nothing sensible is left to do if even this fails; the program keeps running.
        static_cast<void>(window.SetStatusText(kFailureText));
    } else if (!updated) {
        log.Step({L"no installation found: nothing to update"});
    }
    const int status = ExitStatusOf(result);
    return Ended(log, status,
                 status == kExitBusy    ? L" (another updater is busy: try again later)"
                 : status == kExitInUse ? L" (Zimlex.exe is in use: try again once it is closed)"
                 : !result              ? L" (failed)"
                 : updated              ? L" (updated)"
                                        : L" (nothing found)");
}
