#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

// A file name, a path or a line, fixed-size so the program needs no
// heap-allocating strings. Anything longer than the capacity is refused,
// never cut short, unless cut short on purpose.
template <std::size_t Capacity> class FixedText {
public:
    static constexpr std::size_t kCapacity = Capacity;

    FixedText() { text_[0] = L'\0'; }

    [[nodiscard]] bool Assign(std::wstring_view text, std::wstring_view suffix = {}) {
        Clear();
        return Append(text) && Append(suffix);
    }
    [[nodiscard]] bool Append(std::wstring_view text) {
        if (text.size() > kCapacity - length_) {
            return false;
        }
        std::copy(text.begin(), text.end(), text_.begin() + length_);
        length_ += text.size();
        text_[length_] = L'\0';
        return true;
    }
    // As much of each part as there is room for.
    void AppendCut(std::initializer_list<std::wstring_view> parts) {
        for (const std::wstring_view part : parts) {
            static_cast<void>(Append({part.data(), std::min(part.size(), kCapacity - length_)}));
        }
    }
    void Clear() {
        length_ = 0;
        text_[0] = L'\0';
    }
    [[nodiscard]] std::wstring_view View() const { return {text_.data(), length_}; }
    // Zero-terminated, as the system's functions take names.
    [[nodiscard]] const wchar_t* CStr() const { return text_.data(); }

private:
    // Only the first length_ characters and the zero after them are ever read.
    std::array<wchar_t, kCapacity + 1> text_;
    std::size_t length_ = 0;
};

// As the directory probe answers it: a Windows file name.
using FileName = FixedText<260>;
// A Windows path: at most MAX_PATH with its terminating zero.
using PathText = FixedText<259>;

// The text of a number for log lines: decimal, or hexadecimal for HRESULTs.
class NumberText {
public:
    explicit NumberText(unsigned long long number, bool hexadecimal = false);
    [[nodiscard]] std::wstring_view View() const { return text_.View(); }

private:
    FixedText<24> text_;
};
