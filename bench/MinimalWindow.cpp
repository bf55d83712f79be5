// The updater's window with nothing of the updater's work: scripts/bench
// compares start-ups against it. Its caption says when it first painted.
#include "BenchWindow.h"

#include <windows.h>

namespace {

constexpr wchar_t kMinimalClassName[] = L"BenchMinimalWindow";
constexpr wchar_t kPaintedCaption[] = L"Painted";

BenchWindow bench;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT:
        if (bench.Paint(window)) {
            SetWindowTextW(window, kPaintedCaption);
        }
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
    const HWND window = bench.Create(instance, kMinimalClassName, L"Minimal", WindowProc);
    if (window == nullptr) {
        return 1;
    }
    ShowWindow(window, showCommand);
    return BenchWindow::RunMessageLoop();
}
