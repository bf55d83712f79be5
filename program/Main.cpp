#include "ExitStatus.h"
#include "FileLog.h"
#include "Switches.h"
#include "SystemProcedure.h"
#include "Update.h"
#include "UpdateLayout.h"
#include "Version.h"
#include "WindowAnswering.h"
#include "WindowsFileSystem.h"

#include <windows.h>

#include <array>
#include <cstdlib>
#include <string_view>

namespace {

// An elevated updater is often started from a Downloads folder; DLLs planted
// beside it must never be loaded. Looked up at run time so the program still
// starts where the function is missing.
void RestrictDllSearchToSystem32() {
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) {
        return;
    }
    const auto setDefaultDllDirectories =
        LookUpProcedure<decltype(&SetDefaultDllDirectories)>(kernel32, "SetDefaultDllDirectories");
    if (setDefaultDllDirectories != nullptr) {
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
}

// Registered COM servers name their DLL as %SystemRoot%\..., expanded in this
// process: the environment it inherited from whoever started it must not
// choose that folder.
[[nodiscard]] Result TakeWindowsFolderFromSystem() {
    std::array<wchar_t, MAX_PATH> folder{};
    const UINT length = GetSystemWindowsDirectoryW(folder.data(), folder.size());
    if (length == 0 || length >= folder.size()) {
        return Result(length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER,
                      {L"asking the system for its Windows folder"});
    }
    for (const wchar_t* name : {L"SystemRoot", L"windir"}) {
        if (!SetEnvironmentVariableW(name, folder.data())) {
            return Result(GetLastError(), {L"setting ", name, L" to ", folder.data()});
        }
    }
    return {};
}

#define ZIMLEX_WIDE_(text) L##text
#define ZIMLEX_WIDE(text) ZIMLEX_WIDE_(text)

// Services, and programs a deployment tool starts as SYSTEM, run where nobody
// sees a window: in session 0, or on a window station that is not visible.
[[nodiscard]] bool HasVisibleDesktop() {
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0) {
        return false;
    }
    USEROBJECTFLAGS flags{};
    // Where the system cannot tell, the program behaves as it always has.
    return !GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags),
                                      nullptr) ||
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

// The status text has nobody to show it to; the exit status and the log tell.
class NoWindow final : public StatusWindow {
public:
    [[nodiscard]] bool HandlePendingMessages() override { return false; }
    [[nodiscard]] bool SetStatusText(std::wstring_view) override { return true; }
};

// One run of the update on the Windows file system, its waits chosen by
// whether a window has to keep answering.
class WindowsRun final : public UpdateRun {
public:
    WindowsRun(UpdateLog& log, Waits& waits) : log_(log), waits_(waits) {}

    [[nodiscard]] int Run(StatusWindow& window) override {
        WindowsFileSystem files(log_, waits_);
        return RunUpdate(window, files, log_);
    }

private:
    UpdateLog& log_;
    Waits& waits_;
};

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    RestrictDllSearchToSystem32();
    // First of all, before anything could load a COM server; a failure is
    // told once the log is open.
    const Result windowsFolder = TakeWindowsFolderFromSystem();

    // As the C runtime split the command line, without the program's own name.
    std::array<std::wstring_view, 64> arguments{};
    std::size_t count = 0;
    for (int i = 1; i < __argc && count < arguments.size(); ++i) {
        arguments[count++] = __wargv[i];
    }
    const Switches switches = ReadSwitches({arguments.data(), count});
    const bool visible = HasVisibleDesktop();
    if (!switches.valid) {
        if (visible && !switches.quiet) {
            MessageBoxW(nullptr, kUsage.data(), kCaption, MB_OK | MB_ICONERROR);
        }
        return kExitInvalidCommandLine;
    }

    // Nothing to write the reason to: the exit status says it.
    FileLog log;
    PathText logPath;
    if (!switches.logPath.empty() &&
        (!logPath.Assign(switches.logPath) || !log.Open(logPath.CStr()))) {
        return kExitLogUnwritable;
    }
    log.Started(ZIMLEX_WIDE(ZIMLEX_VERSION_TEXT), GetCommandLineW());
    if (!windowsFolder) {
        log.Failure(windowsFolder);
        return kExitFailed;
    }
    if (switches.quiet || !visible) {
        if (!switches.quiet) {
            log.Step({L"no visible desktop to show a window on: running without one"});
        }
        // Not even the system's own boxes for a drive that is not ready.
        SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
        PlainWaits waits;
        WindowsRun run(log, waits);
        NoWindow window;
        return run.Run(window);
    }

    WindowAnswering answering;
    WindowsRun run(log, answering);
    Update update(run, log);
    if (Result created = update.Create(instance, showCommand); !created) {
        log.Failure(created);
        return kExitFailed;
    }
    return update.RunMessageLoop();
}
