#include "Update.h"

#include "Resource.h"

namespace {

// The dialog manager turns Enter into a click on the control named IDOK.
static_assert(kImage1Id == IDOK);

// Inside the picture's edge, where it shows on the button face.
constexpr int kFocusInset = 3;

// Posted once when the window is first shown, so the update runs whether or
// not the system makes the window the foreground window.
constexpr UINT kRunUpdateMessage = WM_APP + 1;

} // namespace

Result Update::Create(HINSTANCE instance, int showCommand) {
    instance_ = instance;
    dpi_ = ScreenDpi();

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_ZIMLEX));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kClassName;
    if (RegisterClassExW(&windowClass) == 0) {
        return Result(GetLastError(), {L"registering the window class"});
    }

    RECT frame{0, 0, Pixels(kClientTwips.cx), Pixels(kClientTwips.cy)};
    AdjustWindowRectEx(&frame, kWindowStyle, FALSE, kWindowExStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT workArea{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
    const int left = workArea.left + (workArea.right - workArea.left - width) / 2;
    const int top = workArea.top + (workArea.bottom - workArea.top - height) / 2;

    if (CreateWindowExW(kWindowExStyle, kClassName, kCaption, kWindowStyle, left, top, width,
                        height, nullptr, nullptr, instance, this) == nullptr) {
        // When the window's own creation failed, the system's error is not the reason.
        return Result(createError_ != ERROR_SUCCESS ? createError_ : GetLastError(),
                      {L"creating the window"});
    }
    ShowWindow(window_, showCommand);
    if (!PostMessageW(window_, kRunUpdateMessage, 0, 0)) {
        return Result(GetLastError(), {L"starting the update"});
    }
    return {};
}

int Update::RunMessageLoop() {
    MSG message{};
    // Also a WM_QUIT that somebody else posted, or a broken queue, ends it.
    while (!endRequested_ && GetMessageW(&message, nullptr, 0, 0) > 0) {
        Dispatch(message);
    }
    return exitCode_;
}

bool Update::HandlePendingMessages() {
    // The first yield acts on everything pending, a click on Ok included.
    MSG message{};
    while (!endRequested_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            End();
            break;
        }
        Dispatch(message);
    }
    return endRequested_;
}

// The dialog manager gives the window Tab, Enter and Space as a dialog has
// them; used by both loops, so a pending key acts in the update's first yield
// just as a pending click does.
void Update::Dispatch(MSG& message) {
    if (IsDialogMessageW(window_, &message)) {
        return;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

// Kept until the update returns: the label, which screen readers and other
// programs read while the window answers, only ever holds the final text.
bool Update::SetStatusText(std::wstring_view text) {
    return statusText_.Assign(text);
}

LRESULT CALLBACK Update::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<Update*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Update*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->HandleMessage(message, wParam, lParam);
}

LRESULT Update::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate() ? 0 : -1;
    case kRunUpdateMessage:
        OnRunUpdate();
        return 0;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_SETFOCUS:
        OnSetFocus();
        return 0;
    case WM_DRAWITEM:
        if (OnDrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam))) {
            return TRUE;
        }
        break;
    case WM_CLOSE:
        End();
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

bool Update::OnCreate() {
    // The picture is drawn by the window itself, so it behaves as a button:
    // a press and release on it is a click, and its name is read out as "Ok".
    image1_ = CreateControl(L"BUTTON", L"Ok", BS_OWNERDRAW | WS_TABSTOP, kImage1Id, kImage1Twips);
    label1_ = CreateControl(L"STATIC", L"", SS_CENTER | SS_NOPREFIX | SS_PATHELLIPSIS, kLabel1Id,
                            kLabel1Twips);
    if (image1_ == nullptr || label1_ == nullptr) {
        createError_ = GetLastError();
        return false;
    }

    labelFont_.Reset(CreateFontW(-MulDiv(kLabelFontPoints, dpi_, 72), 0, 0, 0, FW_BOLD, FALSE,
                                 FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                                 CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                                 kLabelFontFace));
    SendMessageW(label1_, WM_SETFONT, reinterpret_cast<WPARAM>(labelFont_.Get()), FALSE);

    // Without its picture the window still updates and still ends on a click.
    static_cast<void>(okPicture_.Load(instance_, IDR_OK_PICTURE));

    // As in a dialog, the focus rectangle shows only once the keyboard is used,
    // unless the user asked to see it always.
    SendMessageW(window_, WM_CHANGEUISTATE,
                 MAKEWPARAM(UIS_INITIALIZE, UISF_HIDEFOCUS | UISF_HIDEACCEL), 0);
    return true;
}

void Update::OnRunUpdate() {
    exitCode_ = run_.Run(*this);
    // Nothing was found: the label stays empty, as it was never written.
    if (statusText_.CStr()[0] != L'\0' && !SetWindowTextW(label1_, statusText_.CStr())) {
        log_.Failure(Result(GetLastError(), {L"showing the status text"}));
    }
}

// Clicks and keys wait in the queue while the update runs; a click that comes
// as a sent message (from accessibility tools), or a close, is kept until it
// has returned likewise.
void Update::OnCommand(int controlId, int notification) {
    if (controlId == kImage1Id && notification == BN_CLICKED) {
        End();
    }
}

// The window is never torn down on the way out, since there is nothing to
// save or tell: the program ends at once, as a click on Ok promises.
void Update::End() {
    endRequested_ = true;
}

bool Update::OnDrawItem(const DRAWITEMSTRUCT& item) {
    if (item.CtlID != kImage1Id) {
        return false;
    }
    // Every state is drawn whole, so a focus change needs no XOR bookkeeping.
    if ((item.itemState & ODS_SELECTED) != 0) {
        // Pressed: the picture sinks one pixel into a dark frame.
        RECT pressed = item.rcItem;
        OffsetRect(&pressed, 1, 1);
        okPicture_.Draw(item.hDC, pressed);
        FrameRect(item.hDC, &item.rcItem, GetSysColorBrush(COLOR_3DDKSHADOW));
    } else {
        okPicture_.Draw(item.hDC, item.rcItem);
    }
    if ((item.itemState & ODS_FOCUS) != 0 && (item.itemState & ODS_NOFOCUSRECT) == 0) {
        RECT focus = item.rcItem;
        InflateRect(&focus, -kFocusInset, -kFocusInset);
        DrawFocusRect(item.hDC, &focus);
    }
    return true;
}

// The Ok picture is the one control that takes the focus; the window hands it
// on whenever it gets it, also when it is activated again.
void Update::OnSetFocus() {
    if (image1_ != nullptr) {
        SetFocus(image1_);
    }
}

int Update::Pixels(int twips) const {
    return TwipsToPixels(twips, dpi_);
}

HWND Update::CreateControl(const wchar_t* className, const wchar_t* text, DWORD style, int id,
                           const TwipsRect& twips) const {
    return CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, Pixels(twips.left),
                           Pixels(twips.top), Pixels(twips.width), Pixels(twips.height), window_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
}
