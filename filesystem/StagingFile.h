#pragma once

#include "Handles.h"
#include "UpdateProcedure.h"
#include "Waits.h"

#include <windows.h>

#include <string_view>

// Fills `bytes` with unpredictable bytes; the staging files are named by them.
using RandomSource = Result (*)(void* bytes, ULONG size);

[[nodiscard]] Result SystemRandom(void* bytes, ULONG size);

// A copy stages the new bytes beside the destination under a name of its
// own, "Zimlex.exe.<16 hex digits>.new", and renames it into place only when
// they are complete and on disk.
inline constexpr std::wstring_view kStagingSuffix = L".new";

// How long renaming keeps retrying while scanners or indexers hold a file.
inline constexpr ULONGLONG kSharingRetryMs = 3000;

// The new executable on its way in. Created under a name nobody can have
// planted, held open unshared from creation to rename, and marked for deletion
// all along but for the rename itself: a run killed at any point leaves nothing.
class StagingFile {
public:
    StagingFile(Waits& waits, UpdateLog& log) : waits_(waits), log_(log) {}
    ~StagingFile();

    [[nodiscard]] Result Create(std::wstring_view destination, RandomSource random);
    [[nodiscard]] HANDLE Get() const { return file_.Get(); }
    [[nodiscard]] const wchar_t* Path() const { return path_.CStr(); }
    // The one step that changes the destination: before it the old executable
    // is untouched, after it the new one is complete.
    [[nodiscard]] Result RenameOver(const PathText& destination);

private:
    [[nodiscard]] Result RenameOnce(std::wstring_view destination);

    Waits& waits_;
    UpdateLog& log_;
    UniqueFile file_;
    PathText path_;
    bool renamed_ = false;
    bool posixRename_ = true;
};

// How many staging files of earlier runs one run tries to delete, once each.
inline constexpr int kMostStaleStagingFilesARun = 4;

// Deletes what earlier runs left staged beside `destination`, as far as it
// is theirs to delete: owned as `ours`, this run's staging file, is.
void RemoveStaleStagingFiles(std::wstring_view destination, const StagingFile& ours,
                             UpdateLog& log);
