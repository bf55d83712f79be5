#include "FileSystemFixture.h"

#include <array>
#include <sddl.h>
#include <string_view>

namespace {

// --- Apps & Features -------------------------------------------------------------

// An entry whose descriptor refuses the write: logged with its error, left as
// it is, and the update's outcome is not changed by it.
// A record that cannot be written is no reason to call a replaced executable a failure.
TEST_F(CopyTest, AnAppsAndFeaturesEntryThatRefusesTheWriteIsLoggedAndTheUpdateStands) {
    // The build's updater: a real program with a version resource.
    ASSERT_TRUE(CopyFileW(BesideThisTest(L"..\\ZimlexUpdate.exe").c_str(),
                          (source_ / L"Zimlex.ex_").c_str(), FALSE));
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    const std::wstring key =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZimlexTestDenied";
    SECURITY_ATTRIBUTES security{sizeof(security), nullptr, FALSE};
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(D;;KW;;;WD)(A;;KA;;;WD)", SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr));
    const UniqueLocalMemory descriptor(security.lpSecurityDescriptor);
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | WRITE_DAC | KEY_WOW64_64KEY, nullptr, &created,
                              nullptr),
              ERROR_SUCCESS);
    const std::wstring location = destination_.wstring() + L"\\";
    RegSetValueExW(created, L"InstallLocation", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(location.c_str()),
                   static_cast<DWORD>(location.size() + 1) * static_cast<DWORD>(sizeof(wchar_t)));
    RegSetValueExW(created, L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1.0"),
                   4 * sizeof(wchar_t));
    ASSERT_EQ(RegSetKeySecurity(created, DACL_SECURITY_INFORMATION, security.lpSecurityDescriptor),
              ERROR_SUCCESS);
    RegCloseKey(created);
    const fs::path logPath = root_ / L"update.log";
    Result installed;
    {
        FileLog log;
        ASSERT_TRUE(log.Open(logPath.c_str()));
        WindowsFileSystem files(log, waits_, KnownRandom);
        installed = Copy(files, destination_ / L"Zimlex.exe");
    }
    std::array<wchar_t, 64> version{};
    DWORD size = sizeof(version) - sizeof(wchar_t);
    HKEY opened = nullptr;
    LSTATUS read = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0,
                                 KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened);
    if (read == ERROR_SUCCESS) {
        read = RegQueryValueExW(opened, L"DisplayVersion", nullptr, nullptr,
                                reinterpret_cast<BYTE*>(version.data()), &size);
        RegCloseKey(opened);
    }
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0);
    ASSERT_EQ(read, ERROR_SUCCESS);
    EXPECT_TRUE(installed) << "error " << installed.Error();
    EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), ReadBytes(source_ / L"Zimlex.ex_"));
    const std::string text = ReadBytes(logPath);
    if (std::wstring_view(version.data()) != L"1.0" && text.find("error 5 ") == std::string::npos) {
        GTEST_SKIP() << "this system let the write through the key's descriptor";
    }
    EXPECT_EQ(std::wstring_view(version.data()), L"1.0");
    EXPECT_NE(text.find("ZimlexTestDenied (64-bit view): writing DisplayVersion"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(": error 5 ("), std::string::npos) << text;
}

} // namespace
