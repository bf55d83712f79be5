#pragma once

#include "FixedText.h"

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

// One installation folder: what is probed, what is replaced, what is said.
struct UpdateTarget {
    PathText probePattern;
    PathText destination;
    PathText successText;

    // False when a path would be too long for Windows.
    [[nodiscard]] bool For(std::wstring_view programFiles) {
        return probePattern.Assign(programFiles) && probePattern.Append(kProductFolder) &&
               destination.Assign(probePattern.View()) && probePattern.Append(kProbeWildcard) &&
               destination.Append(kExecutable) && successText.Assign(destination.View()) &&
               successText.Append(kUpdatedSuffix);
    }
};
