#pragma once

#include "Handles.h"
#include "Picture.h"
#include "UpdateLayout.h"
#include "UpdateProcedure.h"

#include <windows.h>

#include <string_view>

// The program's only window: the status label, the Ok picture, and the one
// run of the update right after the window is first shown.
class Update final : public StatusWindow {
public:
    // Once shown, the window starts `run`; what goes wrong with the window
    // itself goes to `log`.
    Update(UpdateRun& run, UpdateLog& log) : run_(run), log_(log) {}

    [[nodiscard]] Result Create(HINSTANCE instance, int showCommand);
    // Runs until an end is asked for (Ok, Enter, Space, closing), and answers
    // the run's exit status, which the program then returns.
    [[nodiscard]] int RunMessageLoop();

    [[nodiscard]] bool HandlePendingMessages() override;
    [[nodiscard]] bool SetStatusText(std::wstring_view text) override;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void Dispatch(MSG& message);

    [[nodiscard]] bool OnCreate();
    void OnRunUpdate();
    void OnCommand(int controlId, int notification);
    [[nodiscard]] bool OnDrawItem(const DRAWITEMSTRUCT& item);
    void OnSetFocus();
    // Asks for the program's end: the message loop returns once the update,
    // if one is running, has.
    void End();

    [[nodiscard]] int Pixels(int twips) const;
    [[nodiscard]] HWND CreateControl(const wchar_t* className, const wchar_t* text, DWORD style,
                                     int id, const TwipsRect& twips) const;

    UpdateRun& run_;
    UpdateLog& log_;
    PathText statusText_;
    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    HWND label1_ = nullptr;
    HWND image1_ = nullptr;
    int dpi_ = USER_DEFAULT_SCREEN_DPI;
    int exitCode_ = 0;
    DWORD createError_ = ERROR_SUCCESS;
    bool endRequested_ = false;
    UniqueGdiObject labelFont_;
    Picture okPicture_;
};
