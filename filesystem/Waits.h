#pragma once

#include "Result.h"

#include <windows.h>

// How the file layer's long steps wait and pace themselves. They run on the
// window's one thread, so the window answers only through this: the start of
// the program chooses whether and how.
class Waits {
public:
    // Between short steps of a long one.
    virtual void Pace() = 0;
    // Until `object` is signalled or abandoned, ERROR_TIMEOUT when it is not
    // within the time; with no object it waits out the time.
    [[nodiscard]] virtual Result Wait(HANDLE object, DWORD timeoutMs) = 0;

protected:
    [[nodiscard]] static Result Woke(DWORD woke) {
        if (woke == WAIT_OBJECT_0 || woke == WAIT_ABANDONED_0) {
            return {};
        }
        return Result(woke == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError());
    }

    ~Waits() = default;
};

// For a run with no window to keep answering.
class PlainWaits final : public Waits {
public:
    void Pace() override {}
    [[nodiscard]] Result Wait(HANDLE object, DWORD timeoutMs) override {
        if (object == nullptr) {
            Sleep(timeoutMs);
            return Result(ERROR_TIMEOUT);
        }
        return Woke(WaitForSingleObject(object, timeoutMs));
    }
};
