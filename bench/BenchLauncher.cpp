// Starts a window program, waits until one of its windows reads a given text,
// and reports how long that took and how much memory the program had used.
//
// BenchLauncher <program> <current dir> <window class> <control id> <texts> <click id> [hold file]
//   control id 0 watches the top-level window's caption instead of a child.
//   texts: the texts to wait for, separated by '|'.
//   click id 0 ends the program with WM_CLOSE; otherwise BM_CLICK on that child.
//   hold file: created once the text is seen; the program is ended only after
//   someone deletes it, so its process can be examined from outside.
//
// Prints one line: elapsed_us=... peak_working_set=... exit_code=... text="..."
#include "Handles.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>

namespace {

enum Status : int {
    Ok = 0,
    Usage = 2,
    NotStarted = 3,
    EndedEarly = 4,
    TimedOut = 5,
    DidNotEnd = 6,
};

constexpr DWORD kTextTimeoutMs = 180000;
constexpr DWORD kHoldTimeoutMs = 60000;
constexpr DWORD kEndTimeoutMs = 10000;

struct Options {
    const wchar_t* program;
    const wchar_t* directory;
    const wchar_t* windowClass;
    int controlId;
    const wchar_t* texts;
    int clickId;
    const wchar_t* holdFile;
};

bool MatchesOneOf(const wchar_t* text, const wchar_t* alternatives) {
    const size_t length = wcslen(text);
    const wchar_t* start = alternatives;
    for (;;) {
        const wchar_t* end = wcschr(start, L'|');
        const size_t size = end != nullptr ? static_cast<size_t>(end - start) : wcslen(start);
        if (size == length && wcsncmp(start, text, size) == 0 && size != 0) {
            return true;
        }
        if (end == nullptr) {
            return false;
        }
        start = end + 1;
    }
}

void PrintUtf8(const wchar_t* text) {
    char buffer[1024];
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof(buffer), nullptr, nullptr);
    std::fputs(size > 0 ? buffer : "?", stdout);
}

void Report(const char* outcome, LONGLONG elapsedUs, SIZE_T peak, DWORD exitCode,
            const wchar_t* text) {
    std::printf("%s elapsed_us=%lld peak_working_set=%lu exit_code=%lu text=\"", outcome, elapsedUs,
                static_cast<unsigned long>(peak), static_cast<unsigned long>(exitCode));
    PrintUtf8(text);
    std::puts("\"");
    std::fflush(stdout);
}

// The program's own top-level window of the class, not one of another process.
HWND FindProgramWindow(const wchar_t* windowClass, DWORD processId) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, windowClass, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId) {
            return window;
        }
    }
    return nullptr;
}

bool ReadWatchedText(const Options& options, DWORD processId, HWND& top, wchar_t* text,
                     int capacity) {
    text[0] = L'\0';
    top = FindProgramWindow(options.windowClass, processId);
    if (top == nullptr || !IsWindowVisible(top)) {
        return false;
    }
    const HWND watched = options.controlId != 0 ? GetDlgItem(top, options.controlId) : top;
    // Another process's window text comes from the window manager without a
    // message, so a program busy copying still answers.
    return watched != nullptr && GetWindowTextW(watched, text, capacity) >= 0;
}

SIZE_T PeakWorkingSet(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    return GetProcessMemoryInfo(process, &counters, sizeof(counters)) ? counters.PeakWorkingSetSize
                                                                      : 0;
}

void HoldUntilDeleted(const wchar_t* holdFile, DWORD processId) {
    UniqueFile file(CreateFileW(holdFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return;
    }
    char line[32];
    const int size =
        std::snprintf(line, sizeof(line), "%lu\n", static_cast<unsigned long>(processId));
    DWORD written = 0;
    WriteFile(file.Get(), line, static_cast<DWORD>(size), &written, nullptr);
    file.Reset();
    const ULONGLONG deadline = GetTickCount64() + kHoldTimeoutMs;
    while (GetFileAttributesW(holdFile) != INVALID_FILE_ATTRIBUTES && GetTickCount64() < deadline) {
        Sleep(5);
    }
}

int Run(const Options& options) {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER started{};
    LARGE_INTEGER seen{};
    QueryPerformanceFrequency(&frequency);

    wchar_t commandLine[MAX_PATH + 2];
    std::swprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", options.program);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    QueryPerformanceCounter(&started);
    if (!CreateProcessW(options.program, commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                        options.directory, &startup, &process)) {
        std::printf("not-started error=%lu\n", GetLastError());
        return NotStarted;
    }
    const UniqueKernelObject thread(process.hThread);
    const UniqueKernelObject child(process.hProcess);

    wchar_t text[512] = L"";
    HWND top = nullptr;
    const ULONGLONG deadline = GetTickCount64() + kTextTimeoutMs;
    bool matched = false;
    while (!matched) {
        matched = ReadWatchedText(options, process.dwProcessId, top, text, 512) &&
                  MatchesOneOf(text, options.texts);
        if (matched) {
            QueryPerformanceCounter(&seen);
            break;
        }
        if (WaitForSingleObject(child.Get(), 0) == WAIT_OBJECT_0) {
            DWORD exitCode = 0;
            GetExitCodeProcess(child.Get(), &exitCode);
            Report("ended-early", -1, 0, exitCode, text);
            return EndedEarly;
        }
        if (GetTickCount64() > deadline) {
            TerminateProcess(child.Get(), 99);
            Report("timed-out", -1, 0, 0, text);
            return TimedOut;
        }
        Sleep(1);
    }
    const LONGLONG elapsedUs = (seen.QuadPart - started.QuadPart) * 1000000 / frequency.QuadPart;
    const SIZE_T peak = PeakWorkingSet(child.Get());
    if (options.holdFile != nullptr) {
        HoldUntilDeleted(options.holdFile, process.dwProcessId);
    }

    if (options.clickId != 0) {
        PostMessageW(GetDlgItem(top, options.clickId), BM_CLICK, 0, 0);
    } else {
        PostMessageW(top, WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(child.Get(), kEndTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(child.Get(), 99);
        Report("did-not-end", elapsedUs, peak, 99, text);
        return DidNotEnd;
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(child.Get(), &exitCode);
    Report("ok", elapsedUs, peak, exitCode, text);
    return Ok;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 7 && argc != 8) {
        std::fputs("usage: BenchLauncher <program> <current dir> <window class> <control id> "
                   "<texts> <click id> [hold file]\n",
                   stderr);
        return Usage;
    }
    const Options options{argv[1],
                          argv[2],
                          argv[3],
                          static_cast<int>(std::wcstol(argv[4], nullptr, 10)),
                          argv[5],
                          static_cast<int>(std::wcstol(argv[6], nullptr, 10)),
                          argc == 8 ? argv[7] : nullptr};
    return Run(options);
}
