#pragma once

#include "Handles.h"
#include "UpdateProcedure.h"

#include <windows.h>

#include <initializer_list>
#include <string_view>

// The first line of every log this program writes, and so of every file it
// appends to: no script, list or other program's log ever begins with it.
inline constexpr std::string_view kLogFirstLine =
    "ZimlexUpdate log: the steps of the Zimlex updater's runs, one a line, each with its UTC "
    "time\r\n";

// The run's log: plain UTF-8 lines, each with its UTC time, appended to a file
// that a deployment tool names. Every line of it is written here. Until a file
// is opened, and after writing to it fails, it writes nothing, and the update
// goes on as it would without a log.
class FileLog final : public UpdateLog {
public:
    // Opens `path`, a ".log" file, for appending: a new one is created with
    // the first line below, and an existing one is used only when it begins
    // with that line and only administrators may write it.
    [[nodiscard]] Result Open(const wchar_t* path);

    // The first line of a run: the program's version and the command line it
    // was started with, which whoever started it chose.
    void Started(std::wstring_view version, std::wstring_view commandLine);
    void Step(std::initializer_list<std::wstring_view> parts) override;
    // The step, its error's code and the system's text for it, and, for a
    // file that others hold, who holds it where the system can tell.
    void Failure(const Result& failure) override;

private:
    // From `commandLine` on, the line is a command line.
    void Write(std::wstring_view line, std::size_t commandLine = std::wstring_view::npos);

    UniqueFile file_;
};
