#include "FixedText.h"

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

NumberText::NumberText(unsigned long long number, bool hexadecimal) {
    bool started = false;
    const auto digit = [&](unsigned value, bool last) {
        if (value != 0 || started || last) {
            started = true;
            static_cast<void>(text_.Append({&L"0123456789ABCDEF"[value], 1}));
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
