// A window program that writes its label a known time after its first paint,
// the way the updater writes its status after the copy, and says in the text
// when, by its own clock: scripts/bench times it to show how exactly the probe
// sees a paint and a label change.
//
// Label text: "Done <paint end> <busy start> <text written>", performance
// counter values, written kDelayMs after the busy stretch began.
#include "Handles.h"
#include "UpdateLayout.h"

#include <windows.h>

#include <cwchar>

namespace {

constexpr wchar_t kDelayClassName[] = L"BenchKnownDelay";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr COLORREF kPictureGreen = RGB(0, 100, 0);
constexpr UINT kRunMessage = WM_APP + 1;
constexpr LONGLONG kDelayMs = 250;

int dpi = 96;
HWND label = nullptr;
LONGLONG paintedAt = 0;

LONGLONG Now() {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

int Pixels(int twips) {
    return MulDiv(twips, dpi, kTwipsPerInch);
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
    case WM_PAINT: {
        PAINTSTRUCT paint{};
        const HDC dc = BeginPaint(window, &paint);
        const RECT picture{Pixels(kImage1Twips.left), Pixels(kImage1Twips.top),
                           Pixels(kImage1Twips.left + kImage1Twips.width),
                           Pixels(kImage1Twips.top + kImage1Twips.height)};
        SetDCBrushColor(dc, kPictureGreen);
        FillRect(dc, &picture, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
        EndPaint(window, &paint);
        if (paintedAt == 0) {
            paintedAt = Now();
        }
        return 0;
    }
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
    {
        const UniqueScreenDc screen(GetDC(nullptr));
        if (screen) {
            dpi = GetDeviceCaps(screen.Get(), LOGPIXELSX);
        }
    }
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kDelayClassName;
    if (RegisterClassExW(&windowClass) == 0) {
        return 1;
    }
    RECT frame{0, 0, Pixels(kClientTwips.cx), Pixels(kClientTwips.cy)};
    AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
    const HWND window = CreateWindowExW(
        0, kDelayClassName, L"Known delay", kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
        frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    label = CreateWindowExW(
        0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_CENTER, Pixels(kLabel1Twips.left),
        Pixels(kLabel1Twips.top), Pixels(kLabel1Twips.width), Pixels(kLabel1Twips.height), window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kLabel1Id)), instance, nullptr);
    ShowWindow(window, showCommand);
    if (label == nullptr || !PostMessageW(window, kRunMessage, 0, 0)) {
        return 1;
    }
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
