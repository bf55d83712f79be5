#include "FixedText.h"

#include <algorithm>

namespace {

// 10^19 down to 1: decimal digits by subtraction, since a 64-bit division on
// x86 would bring the compiler's division routine into the program.
constexpr std::array<unsigned long long, 20> kPowersOfTen = [] {
    std::array<unsigned long long, 20> powers{};
    unsigned long long power = 1;
    for (std::size_t i = powers.size(); i-- > 0;) {
        powers[i] = power;
        power *= 10;
    }
    return powers;
}();

} // namespace

bool AppendText(wchar_t* text, std::size_t capacity, std::size_t& length, std::wstring_view part) {
    if (part.size() > capacity - length) {
        return false;
    }
    std::copy(part.begin(), part.end(), text + length);
    length += part.size();
    text[length] = L'\0';
    return true;
}

void AppendTextCut(wchar_t* text, std::size_t capacity, std::size_t& length,
                   std::initializer_list<std::wstring_view> parts) {
    for (const std::wstring_view part : parts) {
        static_cast<void>(AppendText(text, capacity, length,
                                     {part.data(), std::min(part.size(), capacity - length)}));
    }
}

NumberText::NumberText(unsigned long long number, bool hexadecimal) {
    bool started = false;
    const auto digit = [&](unsigned value, bool last) {
        if (value != 0 || started || last) {
            started = true;
            static_cast<void>(text_.Append({&kNumberDigits[value], 1}));
        }
    };
    if (hexadecimal) {
        static_cast<void>(text_.Append(L"0x"));
        for (int shift = 60; shift >= 0; shift -= 4) {
            digit(static_cast<unsigned>(number >> static_cast<unsigned>(shift)) & 0xFU, shift == 0);
        }
        return;
    }
    for (std::size_t i = 0; i < kPowersOfTen.size(); ++i) {
        unsigned value = 0;
        while (number >= kPowersOfTen[i]) {
            number -= kPowersOfTen[i];
            ++value;
        }
        digit(value, i + 1 == kPowersOfTen.size());
    }
}
