#include "Handles.h"
#include "UpdateLayout.h"

#include <windows.h>

namespace {

constexpr wchar_t kMinimalClassName[] = L"BenchMinimalWindow";
constexpr wchar_t kPaintedCaption[] = L"Painted";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
// The Ok picture's dark green: the probe sees this window's first paint on the
// screen exactly as it sees the updater's.
constexpr COLORREF kPictureGreen = RGB(0, 100, 0);

bool painted = false;
int dpi = 96;

int Pixels(int twips) {
    return MulDiv(twips, dpi, kTwipsPerInch);
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
        if (!painted) {
            painted = true;
            SetWindowTextW(window, kPaintedCaption);
        }
        return 0;
    }
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
    windowClass.lpszClassName = kMinimalClassName;
    if (RegisterClassExW(&windowClass) == 0) {
        return 1;
    }
    // Same client size and frame as the updater's window.
    RECT frame{0, 0, Pixels(kClientTwips.cx), Pixels(kClientTwips.cy)};
    AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
    const HWND window = CreateWindowExW(
        0, kMinimalClassName, L"Minimal", kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
        frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    ShowWindow(window, showCommand);
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
