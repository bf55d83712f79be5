#pragma once

#include <windows.h>

#include <algorithm>
#include <array>
#include <string_view>

// A zero-terminated copy of a path or a status text, as the W functions want it.
class TerminatedText {
public:
    TerminatedText() { text_[0] = L'\0'; }

    [[nodiscard]] bool Assign(std::wstring_view text, std::wstring_view suffix = {}) {
        if (text.size() + suffix.size() >= text_.size()) {
            return false;
        }
        auto end = std::copy(text.begin(), text.end(), text_.begin());
        *std::copy(suffix.begin(), suffix.end(), end) = L'\0';
        return true;
    }
    [[nodiscard]] bool Append(std::wstring_view more) {
        const std::wstring_view text = CStr();
        if (text.size() + more.size() >= text_.size()) {
            return false;
        }
        *std::copy(more.begin(), more.end(), text_.begin() + text.size()) = L'\0';
        return true;
    }
    [[nodiscard]] const wchar_t* CStr() const { return text_.data(); }

private:
    // Nothing past the terminating zero is ever read.
    std::array<wchar_t, MAX_PATH> text_;
};
