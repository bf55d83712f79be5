#pragma once

#include <array>
#include <string_view>

// One installation folder the updater knows about. The strings are used
// exactly as written; nothing is composed at run time.
struct UpdateTarget {
    std::wstring_view probePattern;
    std::wstring_view destination;
    std::wstring_view successText;
};

inline constexpr std::array<UpdateTarget, 2> kUpdateTargets{{
    {L"C:\\Program Files (x86)\\Zimlex\\*.*", L"C:\\Program Files (x86)\\Zimlex\\Zimlex.exe",
     L"C:\\Program Files (x86)\\Zimlex\\Zimlex.exe UPDATED"},
    {L"C:\\Program Files\\Zimlex\\*.*", L"C:\\Program Files\\Zimlex\\Zimlex.exe",
     L"C:\\Program Files\\Zimlex\\Zimlex.exe UPDATED"},
}};

// Relative on purpose: it names the file in the current directory at the
// moment of the copy, not beside the updater's own executable.
inline constexpr std::wstring_view kPayload = L"Zimlex.ex_";

inline constexpr std::wstring_view kFailureText = L"Eror Copying Zimlex.exe file";

namespace detail {
constexpr bool IsWellFormed(const UpdateTarget& target) {
    constexpr std::wstring_view kWildcard = L"\\*.*";
    constexpr std::wstring_view kExecutable = L"\\Zimlex.exe";
    constexpr std::wstring_view kUpdated = L" UPDATED";
    const std::wstring_view folder =
        target.probePattern.substr(0, target.probePattern.size() - kWildcard.size());
    return target.probePattern.ends_with(kWildcard) && target.destination.starts_with(folder) &&
           target.destination.substr(folder.size()) == kExecutable &&
           target.successText.starts_with(target.destination) &&
           target.successText.substr(target.destination.size()) == kUpdated;
}
} // namespace detail

static_assert(detail::IsWellFormed(kUpdateTargets[0]) && detail::IsWellFormed(kUpdateTargets[1]),
              "each row probes its own folder and reports its own destination");
