#include "Switches.h"

namespace {

enum class Switch { None, Quiet, Log };

[[nodiscard]] bool EqualsIgnoringCase(std::wstring_view text, std::wstring_view lower) {
    if (text.size() != lower.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if ((c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c) != lower[i]) {
            return false;
        }
    }
    return true;
}

[[nodiscard]] Switch Recognise(std::wstring_view argument) {
    if (argument.empty() || (argument.front() != L'/' && argument.front() != L'-')) {
        return Switch::None;
    }
    argument.remove_prefix(1);
    if (EqualsIgnoringCase(argument, L"quiet") || EqualsIgnoringCase(argument, L"q")) {
        return Switch::Quiet;
    }
    return EqualsIgnoringCase(argument, L"log") ? Switch::Log : Switch::None;
}

} // namespace

Switches ReadSwitches(std::span<const std::wstring_view> arguments) {
    Switches switches;
    bool used = false;
    bool invalid = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        switch (Recognise(arguments[i])) {
        case Switch::Quiet:
            used = true;
            switches.quiet = true;
            break;
        case Switch::Log:
            used = true;
            // The path follows; a second log, or a switch in its place, is a mistake.
            if (!switches.logPath.empty() || i + 1 == arguments.size() ||
                arguments[i + 1].empty() || Recognise(arguments[i + 1]) != Switch::None) {
                invalid = true;
            } else {
                switches.logPath = arguments[++i];
            }
            break;
        case Switch::None:
            invalid = true;
            break;
        }
    }
    if (!used) {
        return {};
    }
    switches.valid = !invalid;
    return switches;
}
