#pragma once

#include "Handles.h"
#include "UpdateLayout.h"

#include <windows.h>

#include <utility>

// What the benchmark's stand-in windows share with the updater's window: its
// frame and client size at the screen's DPI, and the Ok picture's place, filled
// with its dark green so the probe sees their first paint on the screen exactly
// as it sees the updater's.
class BenchWindow {
public:
    // Registers the class and creates the window, not yet shown, so controls
    // can be added first as the updater does; null on failure.
    HWND Create(HINSTANCE instance, const wchar_t* className, const wchar_t* caption,
                WNDPROC windowProc) {
        dpi_ = ScreenDpi();
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = windowProc;
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        windowClass.lpszClassName = className;
        if (RegisterClassExW(&windowClass) == 0) {
            return nullptr;
        }
        RECT frame{0, 0, Pixels(kClientTwips.cx), Pixels(kClientTwips.cy)};
        AdjustWindowRectEx(&frame, kWindowStyle, FALSE, kWindowExStyle);
        return CreateWindowExW(kWindowExStyle, className, caption, kWindowStyle, CW_USEDEFAULT,
                               CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                               nullptr, nullptr, instance, nullptr);
    }

    [[nodiscard]] HWND CreateControl(HWND window, const wchar_t* className, DWORD style, int id,
                                     const TwipsRect& twips) const {
        return CreateWindowExW(0, className, L"", WS_CHILD | WS_VISIBLE | style, Pixels(twips.left),
                               Pixels(twips.top), Pixels(twips.width), Pixels(twips.height), window,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               GetModuleHandleW(nullptr), nullptr);
    }

    // True for the window's first paint, which the benchmarks time.
    [[nodiscard]] bool Paint(HWND window) {
        PAINTSTRUCT paint{};
        const HDC dc = BeginPaint(window, &paint);
        const RECT picture{Pixels(kImage1Twips.left), Pixels(kImage1Twips.top),
                           Pixels(kImage1Twips.left + kImage1Twips.width),
                           Pixels(kImage1Twips.top + kImage1Twips.height)};
        SetDCBrushColor(dc, kPictureGreen);
        FillRect(dc, &picture, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
        EndPaint(window, &paint);
        return !std::exchange(painted_, true);
    }

    static int RunMessageLoop() {
        MSG message{};
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        return 0;
    }

private:
    static constexpr COLORREF kPictureGreen = RGB(0, 100, 0);

    [[nodiscard]] int Pixels(int twips) const { return TwipsToPixels(twips, dpi_); }

    int dpi_ = USER_DEFAULT_SCREEN_DPI;
    bool painted_ = false;
};
