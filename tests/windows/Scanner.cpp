// Behaves like a virus scanner or an indexer: spins until it can open a file
// with the given sharing, holds it for a while, then lets go.
//
// Scanner <path> <sharing: r, rd, rw, or - for none> <hold ms> <give up after ms> [held marker]
// Creates the marker file once it holds the file, so a test knows when to
// start. Exits 0 when it held the file, 1 when it never could.
// With sharing m, the path names a mutex that it creates and holds, as any
// program of the user can; mp gives that mutex a descriptor granting nobody
// anything.
#include "Handles.h"

#include <windows.h>
#include <sddl.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 5 && argc != 6) {
        return 2;
    }
    DWORD sharing = 0;
    for (const wchar_t* flag = argv[2]; *flag != L'\0'; ++flag) {
        sharing |= *flag == L'r'   ? FILE_SHARE_READ
                   : *flag == L'w' ? FILE_SHARE_WRITE
                   : *flag == L'd' ? FILE_SHARE_DELETE
                                   : 0;
    }
    const DWORD holdMs = std::wcstoul(argv[3], nullptr, 10);
    const ULONGLONG giveUpAt = GetTickCount64() + std::wcstoul(argv[4], nullptr, 10);
    UniqueKernelObject mutex;
    if (argv[2][0] == L'm') {
        SECURITY_ATTRIBUTES security{sizeof(security), nullptr, FALSE};
        if (argv[2][1] == L'p' &&
            !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                L"D:P", SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr)) {
            return 1;
        }
        mutex.Reset(CreateMutexW(&security, TRUE, argv[1]));
        LocalFree(security.lpSecurityDescriptor);
        if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) {
            return 1;
        }
    }
    UniqueFile file;
    while (!mutex && !file) {
        if (GetTickCount64() >= giveUpAt) {
            return 1;
        }
        file.Reset(CreateFileW(argv[1], GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    if (argc == 6) {
        const UniqueFile marker(CreateFileW(argv[5], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    Sleep(holdMs);
    return 0;
}
