#pragma once

#include "Handles.h"

#include <windows.h>

// A picture embedded in the executable, decoded once by the platform's codecs.
class Picture {
public:
    [[nodiscard]] bool Load(HINSTANCE instance, WORD resourceId);
    // Stretches the whole picture over `target`.
    void Draw(HDC dc, const RECT& target) const;

private:
    UniqueGdiObject bitmap_;
    void* bits_ = nullptr;
    BITMAPINFO info_{};
};
