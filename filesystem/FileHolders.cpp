#include "FileHolders.h"

#include "Handles.h"
#include "SystemProcedure.h"

#include <restartmanager.h>

#include <array>

// Who holds `file`, as the Restart Manager knows it: name, process and session.
HolderNames HoldersOf(std::wstring_view heldFile) {
    HolderNames line;
    PathText file;
    if (!file.Assign(heldFile)) {
        return line;
    }
    // Not a KnownDLL: from System32 only, and only when a step failed.
    const UniqueModule manager = LoadSystemLibrary(L"rstrtmgr.dll");
    if (!manager) {
        return line;
    }
    const auto start = LookUpProcedure<decltype(&RmStartSession)>(manager.Get(), "RmStartSession");
    const auto registerFiles =
        LookUpProcedure<decltype(&RmRegisterResources)>(manager.Get(), "RmRegisterResources");
    const auto list = LookUpProcedure<decltype(&RmGetList)>(manager.Get(), "RmGetList");
    const auto end = LookUpProcedure<decltype(&RmEndSession)>(manager.Get(), "RmEndSession");
    DWORD session = 0;
    std::array<wchar_t, CCH_RM_SESSION_KEY + 1> key{};
    if (start == nullptr || registerFiles == nullptr || list == nullptr || end == nullptr ||
        start(&session, 0, key.data()) != ERROR_SUCCESS) {
        return line;
    }
    std::array<RM_PROCESS_INFO, 8> holders{};
    UINT needed = 0;
    UINT count = holders.size();
    DWORD reasons = 0;
    LPCWSTR files[] = {file.CStr()};
    if (registerFiles(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS &&
        list(session, &needed, &count, holders.data(), &reasons) == ERROR_SUCCESS && count > 0) {
        line.AppendCut({L"; held by"});
        for (UINT i = 0; i < count; ++i) {
            DWORD sessionId = 0;
            ProcessIdToSessionId(holders[i].Process.dwProcessId, &sessionId);
            line.AppendCut({i == 0 ? L" " : L", ", holders[i].strAppName, L" (process ",
                            NumberText(holders[i].Process.dwProcessId).View(), L", session ",
                            NumberText(sessionId).View(), L")"});
        }
    }
    end(session);
    return line;
}

bool IsHeld(std::wstring_view heldFile) {
    PathText file;
    if (!file.Assign(heldFile)) {
        return false;
    }
    // Opened to write or delete but never written or deleted: a running
    // program's image, or any handle that shares neither, refuses even that.
    // Asked first, as the log asks the Restart Manager again for the names,
    // and let go of before it, which would name this program too.
    bool refused = false;
    {
        const UniqueFile opened(CreateFileW(file.CStr(), FILE_WRITE_DATA | DELETE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                            nullptr));
        refused = !opened && GetLastError() == ERROR_SHARING_VIOLATION;
    }
    return refused || !HoldersOf(heldFile).View().empty();
}
