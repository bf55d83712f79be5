#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

// What every FixedText does, compiled once for all capacities: `length` grows
// by what fits, and text[length] stays zero.
[[nodiscard]] bool AppendText(wchar_t* text, std::size_t capacity, std::size_t& length,
                              std::wstring_view part);
void AppendTextCut(wchar_t* text, std::size_t capacity, std::size_t& length,
                   std::initializer_list<std::wstring_view> parts);

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
        return AppendText(text_.data(), kCapacity, length_, text);
    }
    // As much of each part as there is room for.
    void AppendCut(std::initializer_list<std::wstring_view> parts) {
        AppendTextCut(text_.data(), kCapacity, length_, parts);
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

// The digits of numbers in log lines, up to hexadecimal.
inline constexpr std::wstring_view kNumberDigits = L"0123456789ABCDEF";

// The text of a number for log lines: decimal, or hexadecimal for HRESULTs.
class NumberText {
public:
    explicit NumberText(unsigned long long number, bool hexadecimal = false);
    [[nodiscard]] std::wstring_view View() const { return text_.View(); }

private:
    FixedText<24> text_;
};
