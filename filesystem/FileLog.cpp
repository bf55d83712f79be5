#include "FileLog.h"

#include "FileHolders.h"
#include "FileIdentity.h"
#include "FileWriters.h"

#include <array>
#include <utility>

namespace {

// Room for a path or two, an error's text and the processes that hold a file.
using Line = FixedText<2048>;

void AppendErrorText(Line& line, DWORD error) {
    std::array<wchar_t, 512> text{};
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text.data(), static_cast<DWORD>(text.size()), nullptr);
    // The system ends its texts with a line break; the log's line goes on.
    while (length > 0 &&
           (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' ')) {
        --length;
    }
    line.AppendCut(
        {L" (", length > 0 ? std::wstring_view(text.data(), length) : L"no text from the system",
         L")"});
}

// A log is a ".log" file, whatever the case, never a script or a program
// that only takes the log's place.
[[nodiscard]] bool IsLogName(std::wstring_view path) {
    constexpr std::wstring_view kExtension = L".log";
    return path.size() > kExtension.size() &&
           SameName({path.data() + path.size() - kExtension.size(), kExtension.size()}, kExtension);
}

// Whether `file`, opened at `full`, is an ordinary ".log" file of that one
// name; `full` becomes its long name, which short 8.3 names could hide.
[[nodiscard]] Result IsLogFileAt(HANDLE file, PathText& full) {
    Result plain = IsPlainFileAt(file, full);
    return plain && !IsLogName(full.View()) ? Result(ERROR_INVALID_NAME) : plain;
}

// Whether the log file at `full`, opened there, is a log of this program's
// own that nobody but administrators could have prepared or could change.
[[nodiscard]] Result IsOwnLog(HANDLE file, PathText& full) {
    if (Result log = IsLogFileAt(file, full); !log) {
        return log;
    }
    std::array<char, kLogFirstLine.size()> first{};
    DWORD read = 0;
    if (Result got = ReadAt(file, 0, first.data(), static_cast<DWORD>(first.size()), read); !got) {
        return got;
    }
    if (std::string_view(first.data(), read) != kLogFirstLine) {
        return Result(ERROR_INVALID_DATA);
    }
    UniqueLocalMemory descriptor;
    Result checked =
        ReadSecurity(file, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor);
    return checked ? OnlyAdministratorsMayWrite(descriptor.Get()) : checked;
}

} // namespace

Result FileLog::Open(const wchar_t* path) {
    // The name the check is held to, refused before anything is opened or made.
    PathText full;
    if (Result spelled = LocalFullPath(path, full); !spelled) {
        return spelled;
    }
    if (!IsLogName(full.View())) {
        return Result(ERROR_INVALID_NAME);
    }
    // Appending only: whatever the file held stays, and two runs follow each
    // other. Deployment tools often name a folder that any user can write: a
    // link planted there must not have the elevated updater write elsewhere.
    constexpr DWORD kAccess =
        FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL;
    constexpr DWORD kSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
    constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    UniqueFile file(
        CreateFileW(full.CStr(), kAccess, kSharing, nullptr, OPEN_EXISTING, kFlags, nullptr));
    if (file) {
        if (Result own = IsOwnLog(file.Get(), full); !own) {
            return own;
        }
        file_ = std::move(file);
        return {};
    }
    if (const DWORD error = GetLastError(); error != ERROR_FILE_NOT_FOUND) {
        return Result(error);
    }
    // Nobody but administrators and the system may open it, not even to
    // lock a range of it. Marked for deletion until it has passed its checks
    // and holds its first line, it leaves nothing where it turns out to be
    // made elsewhere.
    AdministratorsOnly security;
    if (Result made = security.Make(); !made) {
        return made;
    }
    file.Reset(CreateFileW(full.CStr(), kAccess | DELETE, kSharing, security.Attributes(),
                           CREATE_NEW, kFlags, nullptr));
    if (!file) {
        return Result(GetLastError());
    }
    Result checked = SetDeleteMark(file.Get(), true);
    if (checked) {
        checked = IsLogFileAt(file.Get(), full);
    }
    DWORD written = 0;
    if (checked && !WriteFile(file.Get(), kLogFirstLine.data(),
                              static_cast<DWORD>(kLogFirstLine.size()), &written, nullptr)) {
        checked = Result(GetLastError());
    }
    if (checked && (checked = SetDeleteMark(file.Get(), false))) {
        file_ = std::move(file);
    }
    return checked;
}

void FileLog::Started(std::wstring_view version, std::wstring_view commandLine) {
    if (file_) {
        Line line;
        line.AppendCut({L"ZimlexUpdate ", version, L" started: "});
        const std::size_t from = line.View().size();
        line.AppendCut({commandLine});
        Write(line.View(), from);
    }
}

void FileLog::Step(std::initializer_list<std::wstring_view> parts) {
    if (file_) {
        Line line;
        line.AppendCut(parts);
        Write(line.View());
    }
}

void FileLog::Failure(const Result& failure) {
    if (!file_) {
        return;
    }
    const WindowsError error = failure.Error();
    // Codes beyond the Win32 range are HRESULTs, read in hexadecimal.
    Line line;
    line.AppendCut({failure.Step(), L": error ", NumberText(error, error > 0xFFFFU).View()});
    AppendErrorText(line, error);
    if (!failure.HeldFile().empty()) {
        const HolderNames holders = HoldersOf(failure.HeldFile());
        line.AppendCut(
            {holders.View().empty() ? L"; no holder the system could name" : holders.View()});
    }
    Write(line.View());
}

void FileLog::Write(std::wstring_view text, std::size_t commandLine) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    Line line;
    const auto two = [&](unsigned value, wchar_t after) {
        const wchar_t digits[] = {static_cast<wchar_t>(L'0' + value / 10),
                                  static_cast<wchar_t>(L'0' + value % 10), after};
        static_cast<void>(line.Append({digits, 3}));
    };
    line.AppendCut({NumberText(now.wYear).View(), L"-"});
    two(now.wMonth, L'-');
    two(now.wDay, L' ');
    two(now.wHour, L':');
    two(now.wMinute, L':');
    two(now.wSecond, L'.');
    static_cast<void>(line.Append({&kNumberDigits[now.wMilliseconds / 100], 1}));
    two(now.wMilliseconds % 100, L'Z');
    static_cast<void>(line.Append(L" "));
    // Names, paths and texts from outside are data: control characters and
    // Unicode's line breaks, which would split a line or forge one, are written
    // as \uXXXX, and so, in the command line that whoever started the program
    // chose, are the characters a command interpreter acts on. A line too long
    // for the buffer is cut short rather than lost.
    constexpr std::wstring_view kCommandCharacters = L"%!&|<>^";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        std::array<wchar_t, 6> escaped{c};
        std::size_t length = 1;
        if (c < 0x20 || c == 0x7F || c == 0x85 || c == 0x2028 || c == 0x2029 ||
            (i >= commandLine && kCommandCharacters.find(c) != std::wstring_view::npos)) {
            escaped = {L'\\', L'u'};
            length = 2;
            for (unsigned shift = 12; length < escaped.size(); shift -= 4) {
                escaped[length++] = kNumberDigits[(c >> shift) & 0xFU];
            }
        }
        if (line.View().size() + length > Line::kCapacity - 2) {
            break;
        }
        static_cast<void>(line.Append({escaped.data(), length}));
    }
    static_cast<void>(line.Append(L"\r\n"));

    std::array<char, Line::kCapacity * 3> bytes{};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, line.View().data(), static_cast<int>(line.View().size()),
                            bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr);
    DWORD written = 0;
    if (size <= 0 ||
        !WriteFile(file_.Get(), bytes.data(), static_cast<DWORD>(size), &written, nullptr)) {
        // Later lines would only fail too.
        file_.Reset();
    }
}
