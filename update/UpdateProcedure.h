#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

// A file name as the directory probe answers it; fixed-size so the program
// needs no heap-allocating strings.
class FileName {
public:
    static constexpr std::size_t kCapacity = 260;

    [[nodiscard]] bool Assign(std::wstring_view name) {
        if (name.size() > kCapacity) {
            return false;
        }
        std::copy(name.begin(), name.end(), text_.begin());
        length_ = name.size();
        return true;
    }
    void Clear() { length_ = 0; }
    [[nodiscard]] std::wstring_view View() const { return {text_.data(), length_}; }

private:
    std::array<wchar_t, kCapacity> text_{};
    std::size_t length_ = 0;
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
    // Answers an empty name when no ordinary file matches or the folder is missing.
    [[nodiscard]] virtual bool Probe(std::wstring_view pattern, FileName& firstFile) = 0;
    [[nodiscard]] virtual bool Copy(std::wstring_view source, std::wstring_view destination) = 0;

protected:
    ~FileSystem() = default;
};

enum class UpdateOutcome { NothingFound, Updated, Failed };

[[nodiscard]] std::wstring_view TrimSpaces(std::wstring_view text);

// Replaces Zimlex.exe in every known installation folder and reports the
// outcome through the status text. The outcome only serves the exit status.
UpdateOutcome RunUpdate(StatusWindow& window, FileSystem& files);
