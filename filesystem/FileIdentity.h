#pragma once

#include "Handles.h"
#include "Result.h"

#include <windows.h>

#include <string_view>

static_assert(PathText::kCapacity == MAX_PATH - 1, "a path and its zero fit MAX_PATH");

// Whether two names in the file system name the same thing: ordinal, case
// ignored, as Windows compares them.
[[nodiscard]] bool SameName(std::wstring_view one, std::wstring_view other);

// The path an open handle reaches once every link is followed; a drive path
// without the "\\?\" the system puts before it, as people read it and every
// function takes it.
[[nodiscard]] Result FinalPath(HANDLE file, PathText& path);

// ERROR_STOPPED_ON_SYMLINK, which mingw-w64's headers do not name: a link was
// met where the program wanted a file of its own.
inline constexpr DWORD kErrorStoppedOnLink = 681;

// Whether an open handle reaches exactly `path`, not a file that a link at
// that name, or at a folder above it, leads to.
[[nodiscard]] Result ReachesExactly(HANDLE file, std::wstring_view path);

// Whether `file`, opened without following a link at its own name, is an
// ordinary file with this one name: no link, no hard link to another file's
// data, no folder. `info` is what the system answered.
[[nodiscard]] Result IsSingleOrdinaryFile(HANDLE file, BY_HANDLE_FILE_INFORMATION& info);

// The one spelling of `name` that a check can hold the file opened to: a full
// path on a local drive, "X:\...", as the final path by handle reads. Relative
// names, "..", trailing dots and spaces are resolved as the system resolves them
// on opening, and the "\\?\" and "\\.\" forms of a drive path come to the same.
// Every other spelling is refused: shares and network drives (their server
// follows links the handle never shows), devices, volume names, GLOBALROOT, and
// a stream name after a colon.
[[nodiscard]] Result LocalFullPath(const wchar_t* name, PathText& full);

// Whether `file`, opened at `full` (from LocalFullPath) without following a
// link at its own name, is that name's own ordinary file, also with no
// junction or link in a folder above it. `full` becomes the long name, short
// 8.3 names in it spelt out, which is the file's final path.
[[nodiscard]] Result IsPlainFileAt(HANDLE file, PathText& full);

// Opens `path` only to read it, with every sharing, so that neither a running
// program nor a scanner that holds the file refuses the open.
[[nodiscard]] UniqueFile OpenToRead(const wchar_t* path);

// Reads up to `size` bytes at `offset` of a file opened for synchronous reads,
// whatever its file position, so that no earlier reader decides where it starts;
// `read` is 0 at the end of the file.
[[nodiscard]] Result ReadAt(HANDLE file, LONGLONG offset, void* buffer, DWORD size, DWORD& read);

// Marks an open file for deletion when its last handle closes, or unmarks it.
[[nodiscard]] Result SetDeleteMark(HANDLE file, bool deleteIt);
