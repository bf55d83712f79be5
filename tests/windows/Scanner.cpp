// Behaves like a virus scanner or an indexer: spins until it can open a file
// with the given sharing, holds it for a while, then lets go.
//
// Scanner <path> <sharing: r, rd, rw, or - for none; a: attributes only> <hold ms>
//         <give up after ms> [held marker]
// Creates the marker file once it holds the file, so a test knows when to
// start. Exits 0 when it held the file, 1 when it never could. An open for
// attributes only is what any user may make of a file listed in a folder.
#include "Handles.h"

#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 5 && argc != 6) {
        return 2;
    }
    DWORD access = GENERIC_READ;
    DWORD sharing = 0;
    for (const wchar_t* flag = argv[2]; *flag != L'\0'; ++flag) {
        sharing |= *flag == L'r'   ? FILE_SHARE_READ
                   : *flag == L'w' ? FILE_SHARE_WRITE
                   : *flag == L'd' ? FILE_SHARE_DELETE
                                   : 0;
        access = *flag == L'a' ? FILE_READ_ATTRIBUTES : access;
    }
    const DWORD holdMs = std::wcstoul(argv[3], nullptr, 10);
    const ULONGLONG giveUpAt = GetTickCount64() + std::wcstoul(argv[4], nullptr, 10);
    UniqueFile file;
    while (!file) {
        if (GetTickCount64() >= giveUpAt) {
            return 1;
        }
        file.Reset(CreateFileW(argv[1], access, sharing, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    if (argc == 6) {
        const UniqueFile marker(CreateFileW(argv[5], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    Sleep(holdMs);
    return 0;
}
