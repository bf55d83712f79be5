#pragma once

#include <string_view>

// What the updater installs and where, in one place. The Program Files folders
// come from the system; everything below them is fixed.
inline constexpr std::wstring_view kProductFolder = L"\\Zimlex";
inline constexpr std::wstring_view kProbeWildcard = L"\\*.*";
inline constexpr std::wstring_view kExecutable = L"\\Zimlex.exe";
inline constexpr std::wstring_view kUpdatedSuffix = L" UPDATED";

// Relative on purpose: it names the file in the current directory at the
// moment of the copy, not beside the updater's own executable.
inline constexpr std::wstring_view kPayload = L"Zimlex.ex_";

inline constexpr std::wstring_view kFailureText = L"Eror Copying Zimlex.exe file";
