#pragma once

#include "FixedText.h"
#include "Result.h"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

// The Program Files folders to look in, in order, each named once.
class ProgramFilesFolders {
public:
    static constexpr std::size_t kCapacity = 2;

    [[nodiscard]] bool Add(std::wstring_view folder) {
        return count_ < kCapacity && folders_[count_++].Assign(folder);
    }
    [[nodiscard]] const PathText* begin() const { return folders_.data(); }
    [[nodiscard]] const PathText* end() const { return folders_.data() + count_; }

private:
    std::array<PathText, kCapacity> folders_{};
    std::size_t count_ = 0;
};

// What the procedure needs from the window. Both run on the window's thread.
class StatusWindow {
public:
    // Handles the window messages already pending; true when one of them,
    // then or before, asked for the program's end.
    [[nodiscard]] virtual bool HandlePendingMessages() = 0;
    // Kept for the window's label; false when it does not fit.
    [[nodiscard]] virtual bool SetStatusText(std::wstring_view text) = 0;

protected:
    ~StatusWindow() = default;
};

// What the procedure needs from the file system. A failure abandons the rest
// of the update.
class FileSystem {
public:
    // The system's own Program Files folders: the 32-bit one first, then the
    // native one.
    [[nodiscard]] virtual Result ProgramFiles(ProgramFilesFolders& folders) = 0;
    // Answers an empty name when no ordinary file matches or the folder is missing.
    [[nodiscard]] virtual Result Probe(std::wstring_view pattern, FileName& firstFile) = 0;
    // Opens and checks `source` once, before the first installation; every
    // installation of the run gets its bytes.
    [[nodiscard]] virtual Result OpenPayload(std::wstring_view source) = 0;
    [[nodiscard]] virtual Result Install(std::wstring_view destination) = 0;

protected:
    ~FileSystem() = default;
};

// A record of the run for a person reading it on a failed machine. Writing it
// never changes the update or its outcome.
class UpdateLog {
public:
    // One step of the run, on a line of its own: `parts` one after the other.
    virtual void Step(std::initializer_list<std::wstring_view> parts) = 0;
    // A failed step with its Windows error.
    virtual void Failure(const Result& failure) = 0;

protected:
    ~UpdateLog() = default;
};

// What the window starts once it is first shown: one whole run of the update.
class UpdateRun {
public:
    // Answers the program's exit status.
    [[nodiscard]] virtual int Run(StatusWindow& window) = 0;

protected:
    ~UpdateRun() = default;
};

[[nodiscard]] std::wstring_view TrimSpaces(std::wstring_view text);

// Replaces Zimlex.exe in every known installation folder, reports the outcome
// through the status text, and answers the exit status, which the log's last
// line carries.
[[nodiscard]] int RunUpdate(StatusWindow& window, FileSystem& files, UpdateLog& log);
