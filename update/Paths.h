#pragma once

#include <string_view>

// Windows paths are split and trimmed here alone, at backslashes.

// Everything before the last backslash; empty when there is none.
[[nodiscard]] constexpr std::wstring_view FolderOf(std::wstring_view path) {
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring_view::npos ? std::wstring_view()
                                            : std::wstring_view(path.data(), slash);
}

// Everything after the last backslash; the whole path when there is none.
[[nodiscard]] constexpr std::wstring_view NameOf(std::wstring_view path) {
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring_view::npos
               ? path
               : std::wstring_view(path.data() + slash + 1, path.size() - slash - 1);
}

// A folder as the program names it, without closing backslashes: "D:" for a
// drive's root.
[[nodiscard]] constexpr std::wstring_view WithoutClosingSeparators(std::wstring_view path) {
    while (!path.empty() && path.back() == L'\\') {
        path.remove_suffix(1);
    }
    return path;
}
