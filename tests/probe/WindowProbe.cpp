// The other process's view of a window program under test: finds its window,
// reads texts and rectangles exactly where a screenshot would give pixels,
// clicks it, and times it. Used by the end-to-end tests, the fault injection
// and the benchmark.
//
// WindowProbe read [--timeout MS] [--settle MS]
//   Reads the updater's window and prints key=value lines.
//   --timeout  how long to wait for the window to appear (default 10000)
//   --settle   wait up to MS for the label to be written and the update to
//              have returned, asking the window for an answer and reading the
//              label all along (label_texts_read: every text it held, '|' between)
//
// WindowProbe launch <program> <current dir> <window class> <control id> <texts> <click id> [hold
// file]
//   Starts a program, waits until one of its windows reads one of the texts,
//   and prints one line: <outcome> elapsed_us=... peak_working_set=... launch_qpc=...
//   qpc_frequency=... created_us=... shown_us=... picture_us=... exit_code=... text="..."
//   with the times after the launch when its window was created, shown, showed
//   the Ok picture's green on the screen, and read the text (elapsed_us).
//   control id 0 watches the top-level window's caption instead of a child.
//   texts: the texts to wait for, separated by '|'; "abc*" matches any text
//   that begins with "abc".
//   click id 0 ends the program with WM_CLOSE; otherwise BM_CLICK on that child.
//   hold file: created once the text is seen; the program is ended only after
//   someone deletes it, so its process can be examined from outside.
//
// WindowProbe run <program> <command line> <current dir> [window station]
//   Starts a program and waits for its end: ok elapsed_us=... launch_qpc=...
//   qpc_frequency=... exit_code=... shown_windows=... (top-level windows it
//   showed). With a window station name, starts it on a new, invisible station.
#include "Handles.h"
#include "UpdateLayout.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr DWORD kPollMs = 20;
constexpr UINT kRoundTripMs = 5000;

void Print(std::wstring_view key, std::wstring_view value) {
    std::wstring line(key);
    line += L'=';
    line += value;
    line += L'\n';
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), size,
                        nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

void Print(std::wstring_view key, long value) {
    Print(key, std::to_wstring(value));
}

void PrintHex(std::wstring_view key, unsigned long value) {
    std::array<wchar_t, 16> buffer{};
    std::swprintf(buffer.data(), buffer.size(), L"0x%08lx", value);
    Print(key, buffer.data());
}

void PrintRect(std::wstring_view key, const RECT& rect) {
    Print(key, std::to_wstring(rect.left) + L',' + std::to_wstring(rect.top) + L',' +
                   std::to_wstring(rect.right) + L',' + std::to_wstring(rect.bottom));
}

std::wstring WindowText(HWND window) {
    // Another process's window: the text comes from the window manager's copy,
    // so this answers even while the updater's thread is busy copying.
    std::array<wchar_t, 1024> buffer{};
    const int length = GetWindowTextW(window, buffer.data(), static_cast<int>(buffer.size()));
    return {buffer.data(), static_cast<size_t>(length > 0 ? length : 0)};
}

std::wstring ClassName(HWND window) {
    std::array<wchar_t, 256> buffer{};
    const int length = GetClassNameW(window, buffer.data(), static_cast<int>(buffer.size()));
    return {buffer.data(), static_cast<size_t>(length > 0 ? length : 0)};
}

HWND WaitForWindow(DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const HWND window = FindWindowW(kClassName, nullptr);
        if (window != nullptr && IsWindowVisible(window)) {
            return window;
        }
        if (GetTickCount64() >= deadline) {
            return nullptr;
        }
        Sleep(kPollMs);
    }
}

// Returns once the window's thread answers a sent message.
bool RoundTrip(HWND window) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kRoundTripMs, &result) != 0;
}

// True when the label was written, which the updater does once the update has
// returned, and shows. The window answers throughout the update; `slowestMs` is
// the longest it took meanwhile, and `read` gathers every text the label held,
// as a screen reader would have read it.
bool Settle(HWND window, HWND label, DWORD timeoutMs, ULONGLONG& slowestMs,
            std::vector<std::wstring>& read) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG asked = GetTickCount64();
        const bool answered = RoundTrip(window);
        const ULONGLONG now = GetTickCount64();
        slowestMs = std::max(slowestMs, now - asked);
        const std::wstring text = WindowText(label);
        if (!text.empty() && std::find(read.begin(), read.end(), text) == read.end()) {
            read.push_back(text);
        }
        const bool written = !text.empty() && IsWindowVisible(label);
        if (!answered || written || now >= deadline) {
            return answered && written;
        }
        Sleep(kPollMs);
    }
}

RECT RectInClient(HWND parent, HWND child) {
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void PrintControl(std::wstring_view name, HWND parent, HWND control) {
    const std::wstring prefix(name);
    Print(prefix + L"_found", control != nullptr ? 1 : 0);
    if (control == nullptr) {
        return;
    }
    Print(prefix + L"_class", ClassName(control));
    PrintHex(prefix + L"_style", static_cast<unsigned long>(GetWindowLongW(control, GWL_STYLE)));
    Print(prefix + L"_visible", IsWindowVisible(control) ? 1 : 0);
    Print(prefix + L"_text", WindowText(control));
    PrintRect(prefix + L"_rect", RectInClient(parent, control));
}

// Which control has the keyboard focus, and whether the Ok picture is held down.
void PrintKeyboardState(HWND window, HWND image) {
    GUITHREADINFO thread{};
    thread.cbSize = sizeof(thread);
    const bool known = GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread) != 0;
    const HWND focus = known ? thread.hwndFocus : nullptr;
    const int focusId = focus != nullptr && GetParent(focus) == window ? GetDlgCtrlID(focus) : 0;
    Print(L"focus", focus == nullptr       ? L"none"
                    : focus == window      ? L"window"
                    : focusId == kImage1Id ? L"image"
                    : focusId == kLabel1Id ? L"label"
                                           : L"other");
    DWORD_PTR buttonState = 0;
    if (image != nullptr &&
        SendMessageTimeoutW(image, BM_GETSTATE, 0, 0, SMTO_NORMAL, kRoundTripMs, &buttonState)) {
        Print(L"image_pushed", (buttonState & BST_PUSHED) != 0 ? 1 : 0);
    }
}

bool ParseMs(const wchar_t* text, DWORD& value) {
    wchar_t* end = nullptr;
    const unsigned long parsed = std::wcstoul(text, &end, 10);
    if (end == text || *end != L'\0') {
        return false;
    }
    value = static_cast<DWORD>(parsed);
    return true;
}

enum LaunchStatus : int {
    Launched = 0,
    Usage = 2,
    NotStarted = 3,
    EndedEarly = 4,
    TimedOut = 5,
    DidNotEnd = 6,
};

constexpr DWORD kTextTimeoutMs = 180000;
constexpr DWORD kHoldTimeoutMs = 60000;
constexpr DWORD kEndTimeoutMs = 10000;
// A missed creation event costs at most this many polls before the window is
// looked for by name.
constexpr int kPollsPerLookup = 50;
// A point inside the Ok picture, in the picture's own pixels, where it is dark
// green; the benchmark's reference windows paint the same spot green.
constexpr POINT kPictureSpot{6, 6};
constexpr LONGLONG kPictureGraceUs = 500000;

struct LaunchOptions {
    const wchar_t* program;
    const wchar_t* directory;
    const wchar_t* windowClass;
    int controlId;
    const wchar_t* texts;
    int clickId;
    const wchar_t* holdFile;
};

// Texts separated by '|'; one that ends in '*' matches every text it begins.
bool MatchesOneOf(const wchar_t* text, const wchar_t* alternatives) {
    const size_t length = wcslen(text);
    const wchar_t* start = alternatives;
    for (;;) {
        const wchar_t* end = wcschr(start, L'|');
        size_t size = end != nullptr ? static_cast<size_t>(end - start) : wcslen(start);
        const bool prefix = size != 0 && start[size - 1] == L'*';
        if (prefix) {
            --size;
        }
        if (size != 0 && (prefix ? length >= size : length == size) &&
            wcsncmp(start, text, size) == 0) {
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

// When the watched program reached each stage, in microseconds after the
// launch; -1 for a stage not seen.
struct Stages {
    LONGLONG launchQpc = 0;
    LONGLONG created = -1;
    LONGLONG shown = -1;
    LONGLONG picture = -1;
    LONGLONG text = -1;
};

void Report(const char* outcome, const Stages& stages, SIZE_T peak, DWORD exitCode,
            const wchar_t* text) {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    std::printf("%s elapsed_us=%lld peak_working_set=%lu launch_qpc=%lld qpc_frequency=%lld "
                "created_us=%lld shown_us=%lld picture_us=%lld exit_code=%lu text=\"",
                outcome, stages.text, static_cast<unsigned long>(peak), stages.launchQpc,
                frequency.QuadPart, stages.created, stages.shown, stages.picture,
                static_cast<unsigned long>(exitCode));
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

// The watched program's window as the creation hook reports it. The hook's
// procedure takes no context, so it reaches the watch through this.
struct CreationWatch {
    DWORD processId = 0;
    const wchar_t* windowClass = nullptr;
    HWND window = nullptr;
    LONGLONG qpc = 0;
};
CreationWatch* creationWatch = nullptr;

void CALLBACK OnObjectCreated(HWINEVENTHOOK, DWORD, HWND window, LONG objectId, LONG, DWORD,
                              DWORD) {
    CreationWatch* watch = creationWatch;
    if (watch == nullptr || watch->window != nullptr || objectId != OBJID_WINDOW ||
        window == nullptr) {
        return;
    }
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == watch->processId && ClassName(window) == watch->windowClass) {
        watch->window = window;
        watch->qpc = now.QuadPart;
    }
}

// Whether the Ok picture's spot of the window shows on the screen in its dark
// green: the moment the first paint has reached the screen.
bool PictureShown(HWND window, HDC screen, int dpi) {
    POINT spot{TwipsToPixels(kImage1Twips.left, dpi) + kPictureSpot.x,
               TwipsToPixels(kImage1Twips.top, dpi) + kPictureSpot.y};
    ClientToScreen(window, &spot);
    const COLORREF color = GetPixel(screen, spot.x, spot.y);
    return color != CLR_INVALID && GetGValue(color) >= 64 && GetRValue(color) < 48 &&
           GetBValue(color) < 48;
}

// Times a program from its launch to the text, without slowing it down: the
// window is reported by a creation hook rather than searched for, its handles
// are kept, and each poll is one question to the window manager, once a
// millisecond. Wine delivers no event for a text change, so the text is polled.
int Launch(const LaunchOptions& options) {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    Stages stages;
    const auto since = [&](LONGLONG qpc) {
        return (qpc - stages.launchQpc) * 1000000 / frequency.QuadPart;
    };
    const auto now = [] {
        LARGE_INTEGER counter{};
        QueryPerformanceCounter(&counter);
        return counter.QuadPart;
    };

    CreationWatch watch;
    watch.windowClass = options.windowClass;
    const UniqueWinEventHook hook(SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr,
                                                  OnObjectCreated, 0, 0,
                                                  WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS));

    // The probe's own first use of the display costs tens of milliseconds of
    // both cores' time; paid before the launch, not during the program's start.
    const UniqueScreenDc screen(GetDC(nullptr));
    const int dpi = screen ? GetDeviceCaps(screen.Get(), LOGPIXELSX) : 96;

    wchar_t commandLine[MAX_PATH + 2];
    std::swprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", options.program);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    stages.launchQpc = now();
    // Suspended until the hook knows whose window to wait for.
    if (!CreateProcessW(options.program, commandLine, nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, options.directory, &startup, &process)) {
        std::printf("not-started error=%lu\n", GetLastError());
        return NotStarted;
    }
    const UniqueKernelObject thread(process.hThread);
    const UniqueKernelObject child(process.hProcess);
    watch.processId = process.dwProcessId;
    creationWatch = &watch;
    ResumeThread(thread.Get());

    wchar_t text[512] = L"";
    HWND top = nullptr;
    HWND watched = nullptr;
    const ULONGLONG deadline = GetTickCount64() + kTextTimeoutMs;
    for (int poll = 0;; ++poll) {
        if (top == nullptr && watch.window != nullptr) {
            top = watch.window;
            stages.created = since(watch.qpc);
        }
        if (top == nullptr && (!hook || poll % kPollsPerLookup == 0)) {
            top = FindProgramWindow(options.windowClass, process.dwProcessId);
            if (top != nullptr) {
                stages.created = since(now());
            }
        }
        if (top != nullptr && stages.shown < 0 && IsWindowVisible(top)) {
            stages.shown = since(now());
            watched = options.controlId != 0 ? GetDlgItem(top, options.controlId) : top;
        }
        if (stages.shown >= 0 && stages.picture < 0 && screen &&
            PictureShown(top, screen.Get(), dpi)) {
            stages.picture = since(now());
        }
        // Another process's window text comes from the window manager without a
        // message, so a program busy copying still answers.
        if (stages.text < 0 && watched != nullptr && GetWindowTextW(watched, text, 512) >= 0 &&
            MatchesOneOf(text, options.texts)) {
            stages.text = since(now());
        }
        // A paint reaches the screen only when its thread next waits, which can
        // be after the text it wrote; it is given a moment to arrive.
        if (stages.text >= 0 &&
            (stages.picture >= 0 || since(now()) - stages.text > kPictureGraceUs)) {
            break;
        }
        const HANDLE waited = child.Get();
        if (MsgWaitForMultipleObjects(1, &waited, FALSE, 1, QS_ALLINPUT) == WAIT_OBJECT_0) {
            DWORD exitCode = 0;
            GetExitCodeProcess(child.Get(), &exitCode);
            Report("ended-early", stages, 0, exitCode, text);
            return EndedEarly;
        }
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        if (GetTickCount64() > deadline) {
            TerminateProcess(child.Get(), 99);
            Report("timed-out", stages, 0, 0, text);
            return TimedOut;
        }
    }
    creationWatch = nullptr;
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
        Report("did-not-end", stages, peak, 99, text);
        return DidNotEnd;
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(child.Get(), &exitCode);
    Report("ok", stages, peak, exitCode, text);
    return Launched;
}

// Counts the windows that the watched process shows. The hook's procedure
// takes no context, so it reaches the count through this.
struct ShownWatch {
    DWORD processId = 0;
    int shown = 0;
};
ShownWatch* shownWatch = nullptr;

void CALLBACK OnObjectShown(HWINEVENTHOOK, DWORD, HWND window, LONG objectId, LONG, DWORD, DWORD) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (shownWatch != nullptr && objectId == OBJID_WINDOW && owner == shownWatch->processId &&
        GetAncestor(window, GA_ROOT) == window) {
        ++shownWatch->shown;
    }
}

// Times a program without a window from its launch until it ends, the way
// Launch times a window program, and counts the windows it shows meanwhile.
// With a station name it starts the program on a window station of that name
// that it makes, which is not visible, as a service's is.
int Run(const wchar_t* program, wchar_t* commandLine, const wchar_t* directory,
        const wchar_t* station) {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER started{};
    LARGE_INTEGER ended{};
    QueryPerformanceFrequency(&frequency);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    std::wstring desktop;
    HWINSTA hidden = nullptr;
    if (station != nullptr) {
        hidden = CreateWindowStationW(station, 0, WINSTA_ALL_ACCESS, nullptr);
        const HWINSTA own = GetProcessWindowStation();
        if (hidden == nullptr || !SetProcessWindowStation(hidden) ||
            CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr) == nullptr ||
            !SetProcessWindowStation(own)) {
            std::printf("not-started station-error=%lu\n", GetLastError());
            return NotStarted;
        }
        desktop = std::wstring(station) + L"\\Default";
        startup.lpDesktop = desktop.data();
    }
    PROCESS_INFORMATION process{};
    QueryPerformanceCounter(&started);
    if (!CreateProcessW(program, commandLine, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        directory, &startup, &process)) {
        std::printf("not-started error=%lu\n", GetLastError());
        return NotStarted;
    }
    const UniqueKernelObject thread(process.hThread);
    const UniqueKernelObject child(process.hProcess);
    ShownWatch watch{process.dwProcessId, 0};
    shownWatch = &watch;
    const UniqueWinEventHook hook(SetWinEventHook(EVENT_OBJECT_SHOW, EVENT_OBJECT_SHOW, nullptr,
                                                  OnObjectShown, process.dwProcessId, 0,
                                                  WINEVENT_OUTOFCONTEXT));
    ResumeThread(process.hThread);
    // The hook reports through this thread's messages.
    const ULONGLONG deadline = GetTickCount64() + kTextTimeoutMs;
    HANDLE waited = child.Get();
    while (MsgWaitForMultipleObjects(1, &waited, FALSE, kPollMs, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG message{};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        if (GetTickCount64() >= deadline) {
            TerminateProcess(child.Get(), 99);
            std::puts("timed-out");
            return TimedOut;
        }
    }
    QueryPerformanceCounter(&ended);
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&message);
    }
    shownWatch = nullptr;
    if (hidden != nullptr) {
        CloseWindowStation(hidden);
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(child.Get(), &exitCode);
    std::printf("ok elapsed_us=%lld launch_qpc=%lld qpc_frequency=%lld exit_code=%lu "
                "shown_windows=%d\n",
                (ended.QuadPart - started.QuadPart) * 1000000 / frequency.QuadPart,
                started.QuadPart, frequency.QuadPart, static_cast<unsigned long>(exitCode),
                watch.shown);
    std::fflush(stdout);
    return Launched;
}

int Read(int argc, wchar_t** argv) {
    DWORD timeoutMs = 10000;
    DWORD settleMs = 0;
    bool settle = false;
    for (int i = 0; i < argc; ++i) {
        const std::wstring_view argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == L"--timeout" && hasValue && ParseMs(argv[i + 1], timeoutMs)) {
            ++i;
        } else if (argument == L"--settle" && hasValue && ParseMs(argv[i + 1], settleMs)) {
            settle = true;
            ++i;
        } else {
            std::fwprintf(stderr, L"usage: WindowProbe read [--timeout MS] [--settle MS]\n");
            return Usage;
        }
    }

    const HWND window = WaitForWindow(timeoutMs);
    Print(L"found", window != nullptr ? 1 : 0);
    if (window == nullptr) {
        return 1;
    }
    const HWND label = GetDlgItem(window, kLabel1Id);
    const HWND image = GetDlgItem(window, kImage1Id);
    if (settle && label != nullptr) {
        ULONGLONG slowestMs = 0;
        std::vector<std::wstring> read;
        Print(L"label_written", Settle(window, label, settleMs, slowestMs, read) ? 1 : 0);
        Print(L"slowest_answer_ms", static_cast<long>(slowestMs));
        std::wstring texts;
        for (const std::wstring& text : read) {
            texts += (texts.empty() ? L"" : L"|") + text;
        }
        Print(L"label_texts_read", texts);
    }

    {
        const UniqueScreenDc screen(GetDC(nullptr));
        Print(L"dpi", GetDeviceCaps(screen.Get(), LOGPIXELSX));
    }
    Print(L"class", ClassName(window));
    Print(L"caption", WindowText(window));
    PrintHex(L"style", static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)));
    RECT client{};
    GetClientRect(window, &client);
    Print(L"client_width", client.right - client.left);
    Print(L"client_height", client.bottom - client.top);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    Print(L"client_origin_x", origin.x);
    Print(L"client_origin_y", origin.y);
    RECT frame{};
    GetWindowRect(window, &frame);
    PrintRect(L"window_rect", frame);
    PrintControl(L"label", window, label);
    PrintControl(L"image", window, image);
    PrintKeyboardState(window, image);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // Rectangles in the program's own pixels, not scaled for an unaware reader.
    SetProcessDPIAware();
    const std::wstring_view mode = argc > 1 ? argv[1] : L"";
    if (mode == L"read") {
        return Read(argc - 2, argv + 2);
    }
    if (mode == L"launch" && (argc == 8 || argc == 9)) {
        const LaunchOptions options{argv[2],
                                    argv[3],
                                    argv[4],
                                    static_cast<int>(std::wcstol(argv[5], nullptr, 10)),
                                    argv[6],
                                    static_cast<int>(std::wcstol(argv[7], nullptr, 10)),
                                    argc == 9 ? argv[8] : nullptr};
        return Launch(options);
    }
    if (mode == L"run" && (argc == 5 || argc == 6)) {
        return Run(argv[2], argv[3], argv[4], argc == 6 ? argv[5] : nullptr);
    }
    std::fputs("usage: WindowProbe read [--timeout MS] [--settle MS]\n"
               "       WindowProbe launch <program> <current dir> <window class> <control id> "
               "<texts> <click id> [hold file]\n"
               "       WindowProbe run <program> <command line> <current dir>\n",
               stderr);
    return Usage;
}
