// Reads the running updater's window from another process and prints what it
// finds as key=value lines, so tests compare exact texts and rectangles
// instead of guessing them from a screenshot.
//
// Usage: WindowProbe [--timeout MS] [--settle MS]
//   --timeout  how long to wait for the window to appear (default 10000)
//   --settle   wait up to MS for the label to be written, then until the
//              update has returned and the text no longer changes
#include "Handles.h"

#include <windows.h>

#include <array>
#include <cstdio>
#include <cwchar>
#include <string>
#include <string_view>

namespace {

constexpr wchar_t kClassName[] = L"ZimlexUpdate";
constexpr int kImage1Id = 1;
constexpr int kLabel1Id = 2;
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

// Returns once the window's thread handles messages again. The update runs
// inside one message and handles none after its start, so an answer here
// means any update that had already written the label has returned.
bool RoundTrip(HWND window) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kRoundTripMs, &result) != 0;
}

// True when the label was written and its text held still over a round trip.
bool Settle(HWND window, HWND label, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (WindowText(label).empty() && GetTickCount64() < deadline) {
        Sleep(kPollMs);
    }
    for (;;) {
        const std::wstring before = WindowText(label);
        if (!RoundTrip(window)) {
            return false;
        }
        const std::wstring after = WindowText(label);
        if (before == after) {
            return !after.empty();
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
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

bool ParseMs(const wchar_t* text, DWORD& value) {
    wchar_t* end = nullptr;
    const unsigned long parsed = std::wcstoul(text, &end, 10);
    if (end == text || *end != L'\0') {
        return false;
    }
    value = static_cast<DWORD>(parsed);
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // Rectangles in the updater's own pixels, not scaled for an unaware reader.
    SetProcessDPIAware();

    DWORD timeoutMs = 10000;
    DWORD settleMs = 0;
    bool settle = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring_view argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == L"--timeout" && hasValue && ParseMs(argv[i + 1], timeoutMs)) {
            ++i;
        } else if (argument == L"--settle" && hasValue && ParseMs(argv[i + 1], settleMs)) {
            settle = true;
            ++i;
        } else {
            std::fwprintf(stderr, L"usage: WindowProbe [--timeout MS] [--settle MS]\n");
            return 2;
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
        Print(L"label_written", Settle(window, label, settleMs) ? 1 : 0);
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
    return 0;
}
