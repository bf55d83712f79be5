#pragma once

#include "FixedText.h"

#include <cstdint>
#include <initializer_list>
#include <string_view>

// A Windows error code: a Win32 error or an HRESULT, 32 bits everywhere.
using WindowsError = std::uint32_t;

// The few Windows errors the portable procedure names itself.
inline constexpr WindowsError kErrorInsufficientBuffer = 122;
inline constexpr WindowsError kErrorFilenameTooLong = 206;
inline constexpr WindowsError kErrorInstallAlreadyRunning = 1618;
// ERROR_PACKAGES_IN_USE: a program runs from Zimlex.exe or holds it.
inline constexpr WindowsError kErrorPackagesInUse = 15618;

// What a step came to: success, or the Windows error it failed with and the
// step it came from, for the one line that reports it. A failure stays one
// whatever its error says, an error of 0 included.
class [[nodiscard]] Result {
public:
    Result();
    explicit Result(WindowsError error, std::initializer_list<std::wstring_view> step = {});

    [[nodiscard]] explicit operator bool() const { return !failed_; }
    [[nodiscard]] WindowsError Error() const { return error_; }
    [[nodiscard]] std::wstring_view Step() const { return step_.View(); }
    [[nodiscard]] std::wstring_view HeldFile() const { return heldFile_.View(); }

    // Names the step, unless the step that failed named itself already.
    Result& In(std::initializer_list<std::wstring_view> step);
    // A file that others may hold: the report says who holds it, where the
    // system can tell.
    Result& Holding(std::wstring_view file);

private:
    bool failed_ = false;
    WindowsError error_ = 0;
    FixedText<600> step_;
    PathText heldFile_;
};
