#pragma once

#include "Handles.h"

#include <windows.h>

// What the window Update looks like, in one place: the program builds it from
// these, and the tests that read the window from outside compare against them.

struct TwipsRect {
    int left;
    int top;
    int width;
    int height;
};

inline constexpr wchar_t kClassName[] = L"ZimlexUpdate";
inline constexpr wchar_t kCaption[] = L"Zimlex Update";
// A fixed frame with a title bar; it can be minimised, not resized.
inline constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
inline constexpr DWORD kWindowExStyle = 0;

// The layout is designed in twips, 1/1440 inch, and scaled to the display.
inline constexpr int kTwipsPerInch = 1440;
inline constexpr SIZE kClientTwips{7230, 3885};
inline constexpr TwipsRect kLabel1Twips{480, 1320, 6255, 375};
inline constexpr TwipsRect kImage1Twips{5400, 2880, 1305, 645};

// The display's dots per inch, the scale of every twips measure above.
[[nodiscard]] inline int ScreenDpi() {
    const UniqueScreenDc screen(GetDC(nullptr));
    return screen ? GetDeviceCaps(screen.Get(), LOGPIXELSX) : USER_DEFAULT_SCREEN_DPI;
}

[[nodiscard]] inline int TwipsToPixels(int twips, int dpi) {
    return MulDiv(twips, dpi, kTwipsPerInch);
}

inline constexpr int kImage1Id = 1;
inline constexpr int kLabel1Id = 2;

inline constexpr int kLabelFontPoints = 12;
inline constexpr wchar_t kLabelFontFace[] = L"MS Sans Serif";
