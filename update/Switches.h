#pragma once

#include <span>
#include <string_view>

// What a deployment tool asks for on the command line. Without any of the
// switches the program runs as it always has, ignoring whatever it was given.
struct Switches {
    // No window and no message of any kind.
    bool quiet = false;
    // Where to append the log; empty for no log.
    std::wstring_view logPath;
    // False when the command line uses a switch wrongly: nothing is updated.
    bool valid = true;
};

// `arguments` without the program's own name. "/quiet" ("/q") and "/log <file>",
// also with "-" and in any case; a command line that uses one of them and holds
// anything else, or lacks the log's path, is invalid.
[[nodiscard]] Switches ReadSwitches(std::span<const std::wstring_view> arguments);

// Told on a visible desktop when the command line is invalid.
inline constexpr std::wstring_view kUsage =
    L"Usage: ZimlexUpdate.exe [/quiet] [/log <file>]\n\n/quiet  updates without a window; the "
    L"exit status tells the result\n/log    appends the steps of the update to <file>";
