// A window program that writes its label a known time after its first paint,
// the way the updater writes its status after the copy, and says in the text
// when, by its own clock: scripts/bench times it to show how exactly the probe
// sees a paint and a label change.
//
// Label text: "Done <paint end> <busy start> <text written>", performance
// counter values, written kDelayMs after the busy stretch began.
#include "BenchWindow.h"

#include <windows.h>

#include <cwchar>

namespace {

constexpr wchar_t kDelayClassName[] = L"BenchKnownDelay";
constexpr UINT kRunMessage = WM_APP + 1;
constexpr LONGLONG kDelayMs = 250;

BenchWindow bench;
HWND label = nullptr;
LONGLONG paintedAt = 0;

LONGLONG Now() {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

// Handles what is pending, the first paint among it, then keeps the thread
// busy without handling messages, as the updater's copy does.
void OnRun() {
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    const LONGLONG busyFrom = Now();
    const LONGLONG due = busyFrom + kDelayMs * frequency.QuadPart / 1000;
    LONGLONG written = busyFrom;
    while (written < due) {
        written = Now();
    }
    wchar_t text[96];
    std::swprintf(text, 96, L"Done %lld %lld %lld", paintedAt, busyFrom, written);
    SetWindowTextW(label, text);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT:
        if (bench.Paint(window)) {
            paintedAt = Now();
        }
        return 0;
    case kRunMessage:
        OnRun();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    const HWND window = bench.Create(instance, kDelayClassName, L"Known delay", WindowProc);
    if (window == nullptr) {
        return 1;
    }
    label = bench.CreateControl(window, L"STATIC", SS_CENTER, kLabel1Id, kLabel1Twips);
    ShowWindow(window, showCommand);
    if (label == nullptr || !PostMessageW(window, kRunMessage, 0, 0)) {
        return 1;
    }
    return BenchWindow::RunMessageLoop();
}
