#include "UpdateProcedure.h"

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

bool UpdateTarget::For(std::wstring_view programFiles) {
    return probePattern.Assign(programFiles) && probePattern.Append(kProductFolder) &&
           destination.Assign(probePattern.View()) && probePattern.Append(kProbeWildcard) &&
           destination.Append(kExecutable) && successText.Assign(destination.View()) &&
           successText.Append(kUpdatedSuffix);
}

namespace {

// The trapped stretch: the first failure abandons the rest of the list, and
// folders already updated stay updated.
UpdateOutcome UpdateEachTarget(StatusWindow& window, FileSystem& files, UpdateLog& log) {
    UpdateOutcome outcome = UpdateOutcome::NothingFound;
    ProgramFilesFolders folders;
    if (!files.ProgramFiles(folders)) {
        return UpdateOutcome::Failed;
    }
    for (const FolderPath& programFiles : folders) {
        UpdateTarget target;
        FileName firstFile;
        if (!target.For(programFiles.View())) {
            log.Step({L"folder too long for Windows: ", programFiles.View()});
            return UpdateOutcome::Failed;
        }
        // The file system says why a probe failed.
        if (!files.Probe(target.probePattern.View(), firstFile)) {
            return UpdateOutcome::Failed;
        }
        if (TrimSpaces(firstFile.View()).empty()) {
            log.Step({L"probe ", target.probePattern.View(), L": no ordinary file, not installed"});
            continue;
        }
        log.Step({L"probe ", target.probePattern.View(), L": found ", firstFile.View()});
        if (!files.Copy(kPayload, target.destination.View()) ||
            !window.SetStatusText(target.successText.View())) {
            return UpdateOutcome::Failed;
        }
        log.Step({L"status: ", target.successText.View()});
        outcome = UpdateOutcome::Updated;
    }
    return outcome;
}

} // namespace

UpdateOutcome RunUpdate(StatusWindow& window, FileSystem& files, UpdateLog& log) {
    window.HandlePendingMessages();
    const UpdateOutcome outcome = UpdateEachTarget(window, files, log);
    if (outcome == UpdateOutcome::Failed) {
        log.Step({L"status: ", kFailureText});
        // Nothing sensible is left to do if even this fails; the program keeps running.
        static_cast<void>(window.SetStatusText(kFailureText));
    } else if (outcome == UpdateOutcome::NothingFound) {
        log.Step({L"no installation found: nothing to update"});
    }
    return outcome;
}
