#include "FixedText.h"

NumberText::NumberText(unsigned long long number, bool hexadecimal) {
    const unsigned base = hexadecimal ? 16 : 10;
    std::array<wchar_t, 20> reversed{};
    std::size_t count = 0;
    do {
        const auto digit = static_cast<unsigned>(number % base);
        reversed[count++] = static_cast<wchar_t>(digit < 10 ? L'0' + digit : L'A' + digit - 10);
        number /= base;
    } while (number != 0);
    static_cast<void>(text_.Append(hexadecimal ? L"0x" : L""));
    while (count > 0) {
        static_cast<void>(text_.Append({&reversed[--count], 1}));
    }
}
