#include "AppsAndFeatures.h"

#include "FileIdentity.h"
#include "Handles.h"
#include "Paths.h"
#include "ProgramImage.h"
#include "RegistryText.h"

#include <windows.h>

#include <array>
#include <string_view>
#include <utility>

namespace {

constexpr wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// The value, or nothing where it is missing or no string.
[[nodiscard]] std::wstring_view ReadText(HKEY key, const wchar_t* name, RegistryText& value) {
    return ReadRegistryText(key, name, value) ? value.View() : std::wstring_view();
}

// A path as entries write it: perhaps quoted, perhaps with a closing backslash.
[[nodiscard]] std::wstring_view Unquoted(std::wstring_view path) {
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') {
        path = {path.data() + 1, path.size() - 2};
    }
    return WithoutClosingSeparators(path);
}

// "C:\...\Zimlex.exe,0" names the icon of the executable itself.
[[nodiscard]] std::wstring_view IconFile(std::wstring_view icon) {
    const std::size_t comma = icon.rfind(L',');
    if (comma != std::wstring_view::npos &&
        icon.find_first_not_of(L"-0123456789", comma + 1) == std::wstring_view::npos) {
        icon = {icon.data(), comma};
    }
    return Unquoted(icon);
}

[[nodiscard]] bool ViewsDiffer() {
    BOOL wow64 = FALSE;
    return sizeof(void*) == 8 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64);
}

// An entry's key and registry view, as the log names it.
using EntryName = FixedText<2 * MAX_PATH>;

// The installation the entries are matched against, and the version they get.
struct Installation {
    std::wstring_view executable;
    std::wstring_view folder;
    const VS_FIXEDFILEINFO& fixed;
    DottedVersion version;
};

// Whether the entry names the installation, by its InstallLocation or by its
// DisplayIcon; `oldVersion` is its DisplayVersion when it does.
[[nodiscard]] Result NamesInstallation(HKEY uninstall, const wchar_t* name, REGSAM view,
                                       const Installation& installation, bool& ours,
                                       FixedText<MAX_PATH>& oldVersion) {
    UniqueRegistryKey entry;
    const LSTATUS status = RegOpenKeyExW(uninstall, name, 0, KEY_QUERY_VALUE | view, entry.Put());
    if (status != ERROR_SUCCESS) {
        return Result(static_cast<DWORD>(status));
    }
    RegistryText value;
    ours =
        SameName(Unquoted(ReadText(entry.Get(), L"InstallLocation", value)), installation.folder) ||
        SameName(IconFile(ReadText(entry.Get(), L"DisplayIcon", value)), installation.executable);
    if (ours) {
        const std::wstring_view old = ReadText(entry.Get(), L"DisplayVersion", value);
        oldVersion.Clear();
        oldVersion.AppendCut({old.empty() ? L"none" : old});
    }
    return {};
}

// DisplayVersion, and VersionMajor and VersionMinor where the entry has them,
// as its installer wrote them.
void WriteVersion(HKEY uninstall, const wchar_t* name, REGSAM view, const EntryName& where,
                  const Installation& installation, std::wstring_view oldVersion, UpdateLog& log) {
    const wchar_t* version = installation.version.CStr();
    UniqueRegistryKey entry;
    LSTATUS status =
        RegOpenKeyExW(uninstall, name, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | view, entry.Put());
    if (status == ERROR_SUCCESS) {
        const auto size =
            static_cast<DWORD>((std::wstring_view(version).size() + 1) * sizeof(wchar_t));
        status = RegSetValueExW(entry.Get(), L"DisplayVersion", 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(version), size);
    }
    if (status != ERROR_SUCCESS) {
        log.Failure(Result(static_cast<DWORD>(status),
                           {where.View(), L": writing DisplayVersion ", version}));
        return;
    }
    log.Step({where.View(), L": DisplayVersion ", oldVersion, L" -> ", version});
    const DWORD productHigh = installation.fixed.dwProductVersionMS;
    for (const auto& [valueName, number] : {std::pair{L"VersionMajor", productHigh >> 16U},
                                            std::pair{L"VersionMinor", productHigh & 0xFFFFU}}) {
        DWORD type = 0;
        if (RegQueryValueExW(entry.Get(), valueName, nullptr, &type, nullptr, nullptr) ==
                ERROR_SUCCESS &&
            type == REG_DWORD) {
            status = RegSetValueExW(entry.Get(), valueName, 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&number), sizeof(number));
            if (status != ERROR_SUCCESS) {
                log.Failure(
                    Result(static_cast<DWORD>(status), {where.View(), L": writing ", valueName}));
            }
        }
    }
}

// Every entry of one registry view; an entry or key that cannot be read is
// logged with its error, and counted, so that "none found" is never said of
// what was not looked at.
void RecordInView(REGSAM view, const Installation& installation, UpdateLog& log, bool& found,
                  bool& unread) {
    const wchar_t* viewName = view == KEY_WOW64_64KEY ? L" (64-bit view)" : L" (32-bit view)";
    UniqueRegistryKey uninstall;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0,
                                   KEY_ENUMERATE_SUB_KEYS | view, uninstall.Put());
    if (status != ERROR_SUCCESS) {
        // No entries at all is no failure.
        if (status != ERROR_FILE_NOT_FOUND) {
            unread = true;
            log.Failure(
                Result(static_cast<DWORD>(status), {L"opening HKLM\\", kUninstallKey, viewName}));
        }
        return;
    }
    std::array<wchar_t, 256> name{};
    for (DWORD index = 0;; ++index) {
        DWORD length = name.size();
        status = RegEnumKeyExW(uninstall.Get(), index, name.data(), &length, nullptr, nullptr,
                               nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            if (status != ERROR_NO_MORE_ITEMS) {
                unread = true;
                log.Failure(Result(static_cast<DWORD>(status),
                                   {L"listing HKLM\\", kUninstallKey, viewName}));
            }
            return;
        }
        EntryName where;
        where.AppendCut(
            {L"Apps & Features entry HKLM\\", kUninstallKey, L"\\", name.data(), viewName});
        bool ours = false;
        FixedText<MAX_PATH> oldVersion;
        if (Result read = NamesInstallation(uninstall.Get(), name.data(), view, installation, ours,
                                            oldVersion);
            !read) {
            unread = true;
            log.Failure(read.In({where.View(), L": opening it"}));
        } else if (ours) {
            found = true;
            WriteVersion(uninstall.Get(), name.data(), view, where, installation, oldVersion.View(),
                         log);
        }
    }
}

} // namespace

void RecordInstalledVersion(HANDLE file, const PathText& executable, UpdateLog& log) {
    const std::wstring_view path = executable.CStr();
    ProgramVersion program;
    if (Result read = ReadProgramVersion(file, program); !read) {
        log.Failure(read.In({path, L" carries no version: Apps & Features left as it is"}));
        return;
    }
    // The product's version, as installers record it and winget compares it.
    const VS_FIXEDFILEINFO& fixed = program.fixed;
    const Installation installation{
        path, FolderOf(path), fixed,
        DottedVersion(fixed.dwProductVersionMS, fixed.dwProductVersionLS)};
    bool found = false;
    bool unread = false;
    RecordInView(KEY_WOW64_64KEY, installation, log, found, unread);
    if (ViewsDiffer()) {
        RecordInView(KEY_WOW64_32KEY, installation, log, found, unread);
    }
    if (!found) {
        log.Step({unread ? L"no Apps & Features entry that could be read names "
                         : L"no Apps & Features entry names ",
                  installation.folder, L": nothing written there"});
    }
}
