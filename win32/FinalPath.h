#pragma once

#include "TerminatedText.h"

#include <windows.h>

#include <array>
#include <string_view>

// Whether two names in the file system name the same thing: ordinal, case
// ignored, as Windows compares them.
[[nodiscard]] inline bool SameName(std::wstring_view one, std::wstring_view other) {
    return CompareStringOrdinal(one.data(), static_cast<int>(one.size()), other.data(),
                                static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
}

// The path an open handle reaches once every link is followed; a drive path
// without the "\\?\" the system puts before it, as people read it and every
// function takes it.
[[nodiscard]] inline bool FinalPath(HANDLE file, TerminatedText& path) {
    std::array<wchar_t, MAX_PATH + 8> final{};
    const DWORD length =
        GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()), 0);
    if (length == 0 || length >= final.size()) {
        SetLastError(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::wstring_view found(final.data(), length);
    constexpr std::wstring_view kLocal = L"\\\\?\\";
    if (found.starts_with(kLocal) && found.size() > kLocal.size() + 1 &&
        found[kLocal.size() + 1] == L':') {
        found.remove_prefix(kLocal.size());
    }
    if (!path.Assign(found)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

// Whether an open handle reaches exactly `path`, not a file that a link at
// that name, or at a folder above it, leads to.
[[nodiscard]] inline bool ReachesExactly(HANDLE file, std::wstring_view path) {
    TerminatedText reached;
    return FinalPath(file, reached) && SameName(reached.CStr(), path);
}
