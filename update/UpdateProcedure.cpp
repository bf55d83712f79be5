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

namespace {

// The trapped stretch: the first failure abandons the rest of the list, and
// folders already updated stay updated.
UpdateOutcome UpdateEachTarget(StatusWindow& window, FileSystem& files) {
    UpdateOutcome outcome = UpdateOutcome::NothingFound;
    for (const UpdateTarget& target : kUpdateTargets) {
        FileName firstFile;
        if (!files.Probe(target.probePattern, firstFile)) {
            return UpdateOutcome::Failed;
        }
        if (TrimSpaces(firstFile.View()).empty()) {
            continue;
        }
        if (!files.Copy(kPayload, target.destination) ||
            !window.SetStatusText(target.successText)) {
            return UpdateOutcome::Failed;
        }
        outcome = UpdateOutcome::Updated;
    }
    return outcome;
}

} // namespace

UpdateOutcome RunUpdate(StatusWindow& window, FileSystem& files) {
    window.HandlePendingMessages();
    const UpdateOutcome outcome = UpdateEachTarget(window, files);
    if (outcome == UpdateOutcome::Failed) {
        // Nothing sensible is left to do if even this fails; the program keeps running.
        static_cast<void>(window.SetStatusText(kFailureText));
    }
    return outcome;
}
