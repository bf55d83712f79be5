#include "AppsAndFeatures.h"

#include "FileIdentity.h"
#include "Handles.h"
#include "ProgramImage.h"

#include <windows.h>

#include <array>
#include <string_view>
#include <utility>

namespace {

constexpr wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// A value as stored, never expanded: the environment is whoever started the program's.
[[nodiscard]] std::wstring_view ReadText(HKEY key, const wchar_t* name,
                                         std::array<wchar_t, MAX_PATH + 16>& value) {
    DWORD type = 0;
    DWORD size = (value.size() - 1) * sizeof(wchar_t);
    value.fill(L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return value.data();
}

// A path as entries write it: perhaps quoted, perhaps with a closing backslash.
[[nodiscard]] std::wstring_view Unquoted(std::wstring_view path) {
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') {
        path = {path.data() + 1, path.size() - 2};
    }
    while (!path.empty() && path.back() == L'\\') {
        path.remove_suffix(1);
    }
    return path;
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

} // namespace

void RecordInstalledVersion(HANDLE file, const TerminatedText& executable, FileLog& log) {
    const std::wstring_view path = executable.CStr();
    const std::wstring_view folder(path.data(), path.rfind(L'\\'));
    ProgramVersion program;
    if (Result read = ReadProgramVersion(file, program); !read) {
        log.Failure(read.In({path, L" carries no version: Apps & Features left as it is"}));
        return;
    }
    // The product's version, as installers record it and winget compares it.
    const VS_FIXEDFILEINFO& fixed = program.fixed;
    const DottedVersion version(fixed.dwProductVersionMS, fixed.dwProductVersionLS);
    bool found = false;
    for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        const wchar_t* viewName = view == KEY_WOW64_64KEY ? L" (64-bit view)" : L" (32-bit view)";
        if (view == KEY_WOW64_32KEY && !ViewsDiffer()) {
            break;
        }
        HKEY opened = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ENUMERATE_SUB_KEYS | view,
                          &opened) != ERROR_SUCCESS) {
            continue;
        }
        const UniqueRegistryKey uninstall(opened);
        std::array<wchar_t, 256> name{};
        for (DWORD index = 0;; ++index) {
            DWORD length = name.size();
            if (RegEnumKeyExW(uninstall.Get(), index, name.data(), &length, nullptr, nullptr,
                              nullptr, nullptr) != ERROR_SUCCESS) {
                break;
            }
            HKEY entryKey = nullptr;
            if (RegOpenKeyExW(uninstall.Get(), name.data(), 0, KEY_QUERY_VALUE | view, &entryKey) !=
                ERROR_SUCCESS) {
                continue;
            }
            UniqueRegistryKey entry(entryKey);
            std::array<wchar_t, MAX_PATH + 16> value{};
            const bool ours =
                SameName(Unquoted(ReadText(entry.Get(), L"InstallLocation", value)), folder) ||
                SameName(IconFile(ReadText(entry.Get(), L"DisplayIcon", value)), path);
            if (!ours) {
                continue;
            }
            found = true;
            const std::wstring_view old = ReadText(entry.Get(), L"DisplayVersion", value);
            FixedText<MAX_PATH> oldText;
            oldText.AppendCut({old.empty() ? L"none" : old});
            entry.Reset();
            const auto size = static_cast<DWORD>((std::wstring_view(version.CStr()).size() + 1) *
                                                 sizeof(wchar_t));
            LSTATUS status = RegOpenKeyExW(uninstall.Get(), name.data(), 0,
                                           KEY_QUERY_VALUE | KEY_SET_VALUE | view, &entryKey);
            if (status == ERROR_SUCCESS) {
                entry.Reset(entryKey);
                status = RegSetValueExW(entry.Get(), L"DisplayVersion", 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(version.CStr()), size);
            }
            FixedText<2 * MAX_PATH> where;
            where.AppendCut(
                {L"Apps & Features entry HKLM\\", kUninstallKey, L"\\", name.data(), viewName});
            if (status != ERROR_SUCCESS) {
                log.Failure(Result(static_cast<DWORD>(status),
                                   {where.View(), L": writing DisplayVersion ", version.CStr()}));
                continue;
            }
            log.Step({where.View(), L": DisplayVersion ", oldText.View(), L" -> ", version.CStr()});
            // Only where the entry has them, as its installer wrote them.
            for (const auto& [valueName, number] :
                 {std::pair{L"VersionMajor", fixed.dwProductVersionMS >> 16U},
                  std::pair{L"VersionMinor", fixed.dwProductVersionMS & 0xFFFFU}}) {
                DWORD type = 0;
                if (RegQueryValueExW(entry.Get(), valueName, nullptr, &type, nullptr, nullptr) ==
                        ERROR_SUCCESS &&
                    type == REG_DWORD) {
                    status = RegSetValueExW(entry.Get(), valueName, 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&number), sizeof(number));
                    if (status != ERROR_SUCCESS) {
                        log.Failure(Result(static_cast<DWORD>(status),
                                           {where.View(), L": writing ", valueName}));
                    }
                }
            }
        }
    }
    if (!found) {
        log.Step({L"no Apps & Features entry names ", folder, L": nothing written there"});
    }
}
