#pragma once

#include "Waits.h"

#include <windows.h>

// Long steps on the window's one thread keep its windows painted and other
// programs' sent messages answered, so Windows never marks them "Not
// Responding". Input stays queued and acts only once the step is over.
class WindowAnswering final : public Waits {
public:
    // How often a long step answers at the least.
    static constexpr DWORD kIntervalMs = 25;

    void Pace() override {
        const ULONGLONG now = GetTickCount64();
        if (now - last_ >= kIntervalMs) {
            Answer();
            last_ = now;
        }
    }

    [[nodiscard]] Result Wait(HANDLE object, DWORD timeoutMs) override {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        const DWORD count = object != nullptr ? 1 : 0;
        for (;;) {
            const ULONGLONG now = GetTickCount64();
            const auto left = static_cast<DWORD>(now < deadline ? deadline - now : 0);
            const DWORD woke =
                MsgWaitForMultipleObjectsEx(count, &object, left, QS_PAINT | QS_SENDMESSAGE, 0);
            if (woke != WAIT_OBJECT_0 + count) {
                return Woke(woke);
            }
            Answer();
        }
    }

private:
    // The sent messages and paints that are waiting now.
    static void Answer() {
        MSG message{};
        // Bounded, so a window that never validates cannot hold the step up.
        for (int paints = 0; paints < 16; ++paints) {
            if (!PeekMessageW(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) {
                return;
            }
            DispatchMessageW(&message);
        }
    }

    ULONGLONG last_ = GetTickCount64();
};
