#pragma once

// What every test of the Windows file layer shares: files read and written
// as a test sees them, helper processes, known staging names, and the
// fixtures that give each test a fresh folder and a payload.
#include "FileLog.h"
#include "Handles.h"
#include "WindowsFileSystem.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace fs = std::filesystem;

inline std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::set<std::wstring> Names(const fs::path& folder) {
    std::set<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().wstring());
    }
    return names;
}

inline void AddAttributes(const fs::path& file, DWORD attributes) {
    const DWORD current = GetFileAttributesW(file.c_str());
    ASSERT_NE(current, INVALID_FILE_ATTRIBUTES) << file;
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), current | attributes)) << file;
}

// Attributes beyond the ordinary ones are added once the bytes are written.
inline void WriteBytes(const fs::path& file, const std::string& bytes, DWORD attributes = 0) {
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << bytes;
        ASSERT_TRUE(out.good()) << file;
    }
    if (attributes != 0) {
        AddAttributes(file, attributes);
    }
}

inline std::wstring Pattern(const fs::path& folder) {
    return folder.wstring() + L"\\*.*";
}

inline fs::path BesideThisTest(const wchar_t* program) {
    wchar_t self[MAX_PATH];
    return GetModuleFileNameW(nullptr, self, MAX_PATH) != 0 ? fs::path(self).parent_path() / program
                                                            : fs::path(program);
}

// Another process, ended when the test no longer needs it.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (process_ && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.Get(), 0);
            WaitForSingleObject(process_.Get(), 5000);
        }
    }

    [[nodiscard]] bool Start(const fs::path& program, const std::wstring& arguments) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        std::wstring commandLine = L"\"" + program.wstring() + L"\" " + arguments;
        if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                            nullptr, nullptr, &startup, &process)) {
            return false;
        }
        thread_.Reset(process.hThread);
        process_.Reset(process.hProcess);
        return true;
    }

    // The exit code, or STILL_ACTIVE when it has not ended in time.
    [[nodiscard]] DWORD Wait(DWORD timeoutMs) const {
        DWORD code = STILL_ACTIVE;
        WaitForSingleObject(process_.Get(), timeoutMs);
        GetExitCodeProcess(process_.Get(), &code);
        return code;
    }

private:
    UniqueKernelObject process_;
    UniqueKernelObject thread_;
};

// A scanner process that holds `file` with `sharing` for `holdMs` once it can
// open it, or gives up after `giveUpMs`; Start returns once it holds the file
// when `waitUntilHeld` is set.
class Scanner {
public:
    [[nodiscard]] bool Start(const fs::path& file, const wchar_t* sharing, DWORD holdMs,
                             bool waitUntilHeld, DWORD giveUpMs = 20000, fs::path held = {}) {
        std::wstring arguments = L"\"" + file.wstring() + L"\" " + sharing + L" " +
                                 std::to_wstring(holdMs) + L" " + std::to_wstring(giveUpMs);
        if (held.empty()) {
            held = file.parent_path().parent_path() / L"scanner-holds";
        }
        std::error_code ignored;
        fs::remove(held, ignored);
        if (waitUntilHeld) {
            arguments += L" \"" + held.wstring() + L"\"";
        }
        if (!process_.Start(BesideThisTest(L"scanner.exe"), arguments)) {
            return false;
        }
        for (int waited = 0; waitUntilHeld && !fs::exists(held, ignored); waited += 10) {
            if (waited > 20000) {
                return false;
            }
            Sleep(10);
        }
        return true;
    }
    [[nodiscard]] DWORD Wait(DWORD timeoutMs) const { return process_.Wait(timeoutMs); }

private:
    ChildProcess process_;
};

// Staging names a test knows in advance: every byte of a test's n-th name is
// n * 0x11, so its first is "Zimlex.exe.1111111111111111.new".
inline std::atomic<unsigned> namesTaken{0};

inline Result KnownRandom(void* bytes, ULONG size) {
    std::memset(bytes, static_cast<int>((++namesTaken * 0x11U) & 0xFFU), size);
    return {};
}

inline std::wstring StagingName(unsigned n) {
    wchar_t digits[3];
    std::swprintf(digits, 3, L"%02x", (n * 0x11U) & 0xFFU);
    std::wstring name = L"Zimlex.exe.";
    for (int i = 0; i < 8; ++i) {
        name += digits;
    }
    return name + L".new";
}

inline ULONGLONG MillisecondsSince(ULONGLONG start) {
    return GetTickCount64() - start;
}

// Each test gets a fresh folder of its own on the real (Wine) file system.
class FileSystemTest : public testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0U);
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::path(temp) / L"zimlex-fs-tests" / info->name();
        namesTaken = 0;
        Clear(root_);
        fs::create_directories(root_);
    }
    void TearDown() override {
        SetCurrentDirectoryW(fs::path(root_).parent_path().c_str());
        Clear(root_);
    }

    static void Clear(const fs::path& folder) {
        std::error_code ignored;
        if (!fs::exists(folder, ignored)) {
            return;
        }
        for (const auto& entry : fs::recursive_directory_iterator(folder, ignored)) {
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        fs::remove_all(folder, ignored);
    }

    fs::path Folder(const wchar_t* name) {
        fs::path folder = root_ / name;
        fs::create_directories(folder);
        return folder;
    }

    // A run's copy into `destination`: the payload opened, then installed.
    [[nodiscard]] static Result Copy(WindowsFileSystem& files, const fs::path& destination) {
        Result opened = files.OpenPayload(L"Zimlex.ex_");
        return opened ? files.Install(destination.wstring()) : opened;
    }

    fs::path root_;
    FileLog log_;
    PlainWaits waits_;
    WindowsFileSystem files_{log_, waits_, KnownRandom};
};

class CopyTest : public FileSystemTest {
protected:
    void SetUp() override {
        FileSystemTest::SetUp();
        source_ = Folder(L"source");
        destination_ = Folder(L"Zimlex");
        ASSERT_TRUE(SetCurrentDirectoryW(source_.c_str()));
        WriteBytes(source_ / L"Zimlex.ex_", kNew);
    }

    [[nodiscard]] Result CopyPayload() { return Copy(files_, destination_ / L"Zimlex.exe"); }

    void ExpectUntouched(const std::string& oldBytes) {
        EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), oldBytes);
        EXPECT_EQ(Names(destination_), std::set<std::wstring>{L"Zimlex.exe"})
            << "no staging file may be left behind";
    }

    const std::string kOld = std::string(3000, 'o') + "old executable";
    const std::string kNew = std::string(5000, 'n') + "new executable";
    fs::path source_;
    fs::path destination_;
};
