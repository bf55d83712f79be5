#include "ProgramFilesLookup.h"

#include "FileIdentity.h"
#include "Handles.h"
#include "Paths.h"
#include "RegistryText.h"

#include <windows.h>

namespace {

constexpr wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// One folder from the key, when it is there and a plain absolute path;
// `missing` tells a value that is not there from one that is wrong.
[[nodiscard]] Result ReadFolder(HKEY key, const wchar_t* name, PathText& folder, bool& missing) {
    RegistryText value;
    const Result read = ReadRegistryText(key, name, value);
    missing = !read && read.Error() == ERROR_FILE_NOT_FOUND;
    const auto failed = [&](DWORD error) {
        return Result(error, {L"reading ", name, L" of HKLM\\", kCurrentVersionKey});
    };
    if (!read) {
        return failed(read.Error());
    }
    // The folder is named without a closing backslash, "D:" for a drive's root.
    const std::wstring_view path = WithoutClosingSeparators(value.View());
    const wchar_t drive = path.empty() ? L'\0' : static_cast<wchar_t>(path[0] | 0x20U);
    const bool absolute = path.size() >= 2 && drive >= L'a' && drive <= L'z' && path[1] == L':' &&
                          (path.size() == 2 || path[2] == L'\\');
    if (!absolute || !folder.Assign(path)) {
        return failed(ERROR_BAD_PATHNAME);
    }
    return {};
}

} // namespace

Result LookUpProgramFiles(ProgramFilesFolders& folders, UpdateLog& log) {
    UniqueRegistryKey key;
    // The 64-bit view: a 32-bit program otherwise reads its own folder twice.
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0,
                                         KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Put());
    if (status != ERROR_SUCCESS) {
        return Result(static_cast<DWORD>(status), {L"opening HKLM\\", kCurrentVersionKey});
    }
    PathText x86;
    PathText native;
    bool missing = false;
    if (Result read = ReadFolder(key.Get(), L"ProgramFilesDir", native, missing); !read) {
        return read;
    }
    // 32-bit Windows has one Program Files folder; its 32-bit folder is that one.
    if (Result read = ReadFolder(key.Get(), L"ProgramFilesDir (x86)", x86, missing); !read) {
        if (!missing) {
            return read;
        }
        static_cast<void>(x86.Assign(native.CStr()));
    }
    const std::wstring_view first = x86.CStr();
    const std::wstring_view second = native.CStr();
    const bool same = SameName(first, second);
    if (same) {
        log.Step({L"Program Files folder: ", first});
    } else {
        log.Step({L"Program Files folders: ", first, L", then ", second});
    }
    if (!folders.Add(first) || (!same && !folders.Add(second))) {
        return Result(ERROR_INSUFFICIENT_BUFFER, {L"keeping the Program Files folders"});
    }
    return {};
}
