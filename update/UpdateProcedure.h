#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

// A file name or a path, fixed-size so the program needs no heap-allocating
// strings. Anything longer than the capacity is refused, never cut short.
template <std::size_t Capacity> class FixedText {
public:
    static constexpr std::size_t kCapacity = Capacity;

    [[nodiscard]] bool Assign(std::wstring_view text) {
        length_ = 0;
        return Append(text);
    }
    [[nodiscard]] bool Append(std::wstring_view text) {
        if (text.size() > kCapacity - length_) {
            return false;
        }
        std::copy(text.begin(), text.end(), text_.begin() + length_);
        length_ += text.size();
        return true;
    }
    void Clear() { length_ = 0; }
    [[nodiscard]] std::wstring_view View() const { return {text_.data(), length_}; }

private:
    std::array<wchar_t, kCapacity> text_{};
    std::size_t length_ = 0;
};

// As the directory probe answers it: a Windows file name.
using FileName = FixedText<260>;
// A Windows path short of its terminating zero.
using FolderPath = FixedText<259>;

// The Program Files folders to look in, in order, each named once.
class ProgramFilesFolders {
public:
    static constexpr std::size_t kCapacity = 2;

    [[nodiscard]] bool Add(std::wstring_view folder) {
        return count_ < kCapacity && folders_[count_++].Assign(folder);
    }
    [[nodiscard]] const FolderPath* begin() const { return folders_.data(); }
    [[nodiscard]] const FolderPath* end() const { return folders_.data() + count_; }

private:
    std::array<FolderPath, kCapacity> folders_{};
    std::size_t count_ = 0;
};

// One installation folder: what is probed, what is replaced, what is said.
struct UpdateTarget {
    FolderPath probePattern;
    FolderPath destination;
    FolderPath successText;

    // False when a path would be too long for Windows.
    [[nodiscard]] bool For(std::wstring_view programFiles);
};

// What the procedure needs from the window. Both run on the window's thread.
class StatusWindow {
public:
    // Handles the window messages already pending. May end the program.
    virtual void HandlePendingMessages() = 0;
    [[nodiscard]] virtual bool SetStatusText(std::wstring_view text) = 0;

protected:
    ~StatusWindow() = default;
};

// What the procedure needs from the file system. A false result is a failure
// that abandons the rest of the update.
class FileSystem {
public:
    // The system's own Program Files folders: the 32-bit one first, then the
    // native one.
    [[nodiscard]] virtual bool ProgramFiles(ProgramFilesFolders& folders) = 0;
    // Answers an empty name when no ordinary file matches or the folder is missing.
    [[nodiscard]] virtual bool Probe(std::wstring_view pattern, FileName& firstFile) = 0;
    [[nodiscard]] virtual bool Copy(std::wstring_view source, std::wstring_view destination) = 0;

protected:
    ~FileSystem() = default;
};

// A record of the run for a person reading it on a failed machine. Writing it
// never changes the update or its outcome.
class UpdateLog {
public:
    // One step of the run, on a line of its own: `parts` one after the other.
    virtual void Step(std::initializer_list<std::wstring_view> parts) = 0;

protected:
    ~UpdateLog() = default;
};

enum class UpdateOutcome { NothingFound, Updated, Failed };

[[nodiscard]] std::wstring_view TrimSpaces(std::wstring_view text);

// Replaces Zimlex.exe in every known installation folder and reports the
// outcome through the status text. The outcome only serves the exit status.
UpdateOutcome RunUpdate(StatusWindow& window, FileSystem& files, UpdateLog& log);
