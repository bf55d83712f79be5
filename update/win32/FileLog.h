#pragma once

#include "../UpdateProcedure.h"
#include "Handles.h"

#include <windows.h>

#include <initializer_list>
#include <string_view>

// The run's log: plain UTF-8 lines, each with its UTC time, appended to a file
// that a deployment tool names. Every line of it is written here. Until a file
// is opened, and after writing to it fails, it writes nothing, and the update
// goes on as it would without a log.
class FileLog final : public UpdateLog {
public:
    FileLog() = default;
    FileLog(const FileLog&) = delete;
    FileLog& operator=(const FileLog&) = delete;
    ~FileLog() = default;

    // Opens `path` for appending, creating it if need be.
    [[nodiscard]] bool Open(const wchar_t* path);

    void Step(std::initializer_list<std::wstring_view> parts) override;
    // A step that failed with a Windows error: its code and the system's text
    // for it, and, for a file that others hold, who holds it where the system
    // can tell.
    void Failure(std::initializer_list<std::wstring_view> parts, DWORD error,
                 const wchar_t* heldFile = nullptr);

private:
    void Write(std::wstring_view line);

    UniqueFile file_;
};

// The text of a number for log lines: decimal, or hexadecimal for HRESULTs.
class NumberText {
public:
    explicit NumberText(unsigned long long number, bool hexadecimal = false);
    [[nodiscard]] std::wstring_view View() const { return {text_, length_}; }

private:
    wchar_t text_[24]{};
    std::size_t length_ = 0;
};
