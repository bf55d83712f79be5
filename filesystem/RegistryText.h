#pragma once

#include "FixedText.h"
#include "Result.h"

#include <windows.h>

#include <array>

// A registry string, long enough for a path with quotes and an icon index.
using RegistryText = FixedText<MAX_PATH + 15>;

// The REG_SZ value `name` of `key` as stored, never expanded: the environment
// is whoever started the program's. ERROR_FILE_NOT_FOUND when it is missing,
// ERROR_DATATYPE_MISMATCH when it is stored as anything else.
[[nodiscard]] inline Result ReadRegistryText(HKEY key, const wchar_t* name, RegistryText& text) {
    std::array<wchar_t, RegistryText::kCapacity + 1> value{};
    DWORD type = 0;
    // Room for a terminating zero the stored value may lack.
    auto size = static_cast<DWORD>(RegistryText::kCapacity * sizeof(wchar_t));
    text.Clear();
    const LSTATUS status =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size);
    if (status != ERROR_SUCCESS) {
        return Result(static_cast<DWORD>(status));
    }
    if (type != REG_SZ) {
        return Result(ERROR_DATATYPE_MISMATCH);
    }
    return text.Assign(value.data()) ? Result() : Result(ERROR_MORE_DATA);
}
