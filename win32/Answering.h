#pragma once

#include "Handles.h"

#include <windows.h>

#include <utility>

// Long steps on the window's one thread keep its windows painted and other
// programs' sent messages answered, so Windows never marks them "Not
// Responding". Input stays queued and acts only once the step is over.

// How often a long step answers at the least.
inline constexpr DWORD kAnswerIntervalMs = 25;

// Answers the sent messages and paints that are waiting now.
inline void AnswerSystem() {
    MSG message{};
    // Bounded, so a window that never validates cannot hold the step up.
    for (int paints = 0; paints < 16; ++paints) {
        if (!PeekMessageW(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) {
            return;
        }
        DispatchMessageW(&message);
    }
}

// WaitForSingleObject that answers meanwhile; with no object it waits out the
// time. Answers as WaitForSingleObject does.
[[nodiscard]] inline DWORD WaitAnswering(HANDLE object, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    const DWORD count = object != nullptr ? 1 : 0;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const auto left = static_cast<DWORD>(now < deadline ? deadline - now : 0);
        const DWORD woke =
            MsgWaitForMultipleObjectsEx(count, &object, left, QS_PAINT | QS_SENDMESSAGE, 0);
        if (woke != WAIT_OBJECT_0 + count) {
            return woke;
        }
        AnswerSystem();
    }
}

inline void SleepAnswering(DWORD milliseconds) {
    static_cast<void>(WaitAnswering(nullptr, milliseconds));
}

// Answers at most every kAnswerIntervalMs when called between short steps.
class AnswerPacer {
public:
    void Step() {
        const ULONGLONG now = GetTickCount64();
        if (now - last_ >= kAnswerIntervalMs) {
            AnswerSystem();
            last_ = now;
        }
    }

private:
    ULONGLONG last_ = GetTickCount64();
};

// Acquires the named mutex within `timeoutMs`, answering meanwhile. Empty,
// with the error set (ERROR_TIMEOUT when it stayed taken), otherwise.
[[nodiscard]] inline HeldMutex AcquireMutexAnswering(const wchar_t* name, DWORD timeoutMs) {
    UniqueKernelObject mutex(CreateMutexW(nullptr, FALSE, name));
    if (!mutex) {
        return {};
    }
    // A mutex abandoned by a killed owner is free.
    const DWORD waited = WaitAnswering(mutex.Get(), timeoutMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED_0) {
        return HeldMutex(std::move(mutex));
    }
    SetLastError(waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError());
    return {};
}
