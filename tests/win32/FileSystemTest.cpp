#include "Handles.h"
#include "Win32FileSystem.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::wstring> Names(const fs::path& folder) {
    std::set<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().wstring());
    }
    return names;
}

void AddAttributes(const fs::path& file, DWORD attributes) {
    const DWORD current = GetFileAttributesW(file.c_str());
    ASSERT_NE(current, INVALID_FILE_ATTRIBUTES) << file;
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), current | attributes)) << file;
}

// Attributes beyond the ordinary ones are added once the bytes are written.
void WriteBytes(const fs::path& file, const std::string& bytes, DWORD attributes = 0) {
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << bytes;
        ASSERT_TRUE(out.good()) << file;
    }
    if (attributes != 0) {
        AddAttributes(file, attributes);
    }
}

std::wstring Pattern(const fs::path& folder) {
    return folder.wstring() + L"\\*.*";
}

// Each test gets a fresh folder of its own on the real (Wine) file system.
class FileSystemTest : public testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0U);
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::path(temp) / L"zimlex-fs-tests" / info->name();
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

    fs::path root_;
    Win32FileSystem files_;
};

// --- Probe -------------------------------------------------------------------

struct ProbeCase {
    const char* name;
    void (*layOut)(const fs::path& folder);
    const wchar_t* expected;

    friend void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }
};

class ProbeTest : public FileSystemTest, public testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeTest, AnswersTheFirstOrdinaryFile) {
    const fs::path folder = Folder(L"Zimlex");
    GetParam().layOut(folder);
    FileName first;
    ASSERT_TRUE(files_.Probe(Pattern(folder), first));
    EXPECT_EQ(first.View(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, ProbeTest,
    testing::Values(ProbeCase{"Empty", [](const fs::path&) {}, L""},
                    ProbeCase{"OnlySubfolders",
                              [](const fs::path& f) {
                                  fs::create_directories(f / L"bin");
                                  fs::create_directories(f / L"Zimlex.exe");
                              },
                              L""},
                    ProbeCase{"OnlyHiddenAndSystemFiles",
                              [](const fs::path& f) {
                                  WriteBytes(f / L"hidden.dat", "h", FILE_ATTRIBUTE_HIDDEN);
                                  WriteBytes(f / L"system.dat", "s", FILE_ATTRIBUTE_SYSTEM);
                              },
                              L""},
                    ProbeCase{"OrdinaryFileAmongHiddenOnes",
                              [](const fs::path& f) {
                                  WriteBytes(f / L"a-hidden.dat", "h", FILE_ATTRIBUTE_HIDDEN);
                                  fs::create_directories(f / L"b-folder");
                                  WriteBytes(f / L"c.txt", "c");
                              },
                              L"c.txt"},
                    ProbeCase{"ReadOnlyFileCounts",
                              [](const fs::path& f) {
                                  WriteBytes(f / L"Zimlex.exe", "old", FILE_ATTRIBUTE_READONLY);
                              },
                              L"Zimlex.exe"},
                    ProbeCase{"ArchiveOnlyFileCounts",
                              [](const fs::path& f) {
                                  WriteBytes(f / L"Zimlex.exe", "old");
                                  ASSERT_TRUE(SetFileAttributesW((f / L"Zimlex.exe").c_str(),
                                                                 FILE_ATTRIBUTE_ARCHIVE));
                              },
                              L"Zimlex.exe"}),
    [](const testing::TestParamInfo<ProbeCase>& info) { return info.param.name; });

TEST_F(FileSystemTest, ProbeOfAMissingFolderAnswersEmptyNotAFailure) {
    FileName first;
    ASSERT_TRUE(first.Assign(L"stale"));
    ASSERT_TRUE(files_.Probe(Pattern(root_ / L"missing"), first));
    EXPECT_TRUE(first.View().empty());
    ASSERT_TRUE(first.Assign(L"stale"));
    ASSERT_TRUE(files_.Probe(Pattern(root_ / L"missing" / L"deeper"), first));
    EXPECT_TRUE(first.View().empty());
}

// --- Copy --------------------------------------------------------------------

class CopyTest : public FileSystemTest {
protected:
    void SetUp() override {
        FileSystemTest::SetUp();
        source_ = Folder(L"source");
        destination_ = Folder(L"Zimlex");
        ASSERT_TRUE(SetCurrentDirectoryW(source_.c_str()));
        WriteBytes(source_ / L"Zimlex.ex_", kNew);
    }

    [[nodiscard]] bool CopyPayload() {
        return files_.Copy(L"Zimlex.ex_", (destination_ / L"Zimlex.exe").wstring());
    }

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

TEST_F(CopyTest, CreatesAMissingExecutable) {
    ASSERT_TRUE(CopyPayload());
    EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), kNew);
    EXPECT_EQ(Names(destination_), std::set<std::wstring>{L"Zimlex.exe"});
}

TEST_F(CopyTest, ReplacesAnExistingExecutableWithOrdinaryAttributes) {
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    WriteBytes(destination_ / L"readme.txt", "keep");
    AddAttributes(source_ / L"Zimlex.ex_", FILE_ATTRIBUTE_READONLY);

    ASSERT_TRUE(CopyPayload());
    EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), kNew);
    EXPECT_EQ(ReadBytes(destination_ / L"readme.txt"), "keep");
    EXPECT_EQ(Names(destination_), (std::set<std::wstring>{L"Zimlex.exe", L"readme.txt"}));
    const DWORD attributes = GetFileAttributesW((destination_ / L"Zimlex.exe").c_str());
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0U);
}

TEST_F(CopyTest, ReplacesAnEmptyPayloadToo) {
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    WriteBytes(source_ / L"Zimlex.ex_", "");
    ASSERT_TRUE(CopyPayload());
    EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), "");
}

TEST_F(CopyTest, ClearsTheStagingFileOfARunKilledHalfWay) {
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    const fs::path staging = destination_ / (std::wstring(L"Zimlex.exe") + kStagingSuffix.data());
    WriteBytes(staging, "half a copy", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);

    ASSERT_TRUE(CopyPayload());
    EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), kNew);
    EXPECT_EQ(Names(destination_), std::set<std::wstring>{L"Zimlex.exe"});
}

TEST_F(CopyTest, FailsWithoutAPayloadAndKeepsTheOldExecutable) {
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    fs::remove(source_ / L"Zimlex.ex_");
    EXPECT_FALSE(CopyPayload());
    ExpectUntouched(kOld);
}

TEST_F(CopyTest, RefusesAReadOnlyDestination) {
    WriteBytes(destination_ / L"Zimlex.exe", kOld, FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(CopyPayload());
    ExpectUntouched(kOld);
}

TEST_F(CopyTest, FailsIntoAMissingFolder) {
    EXPECT_FALSE(files_.Copy(L"Zimlex.ex_", (root_ / L"absent" / L"Zimlex.exe").wstring()));
    EXPECT_FALSE(fs::exists(root_ / L"absent"));
}

TEST_F(CopyTest, FailsWhileAnotherHandleDeniesDeleteSharing) {
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    UniqueFile held(CreateFileW((destination_ / L"Zimlex.exe").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr));
    ASSERT_TRUE(held);
    const bool copied = CopyPayload();
    held.Reset();
    EXPECT_FALSE(copied);
    ExpectUntouched(kOld);
}

TEST_F(CopyTest, FailsWhileTheExecutableRuns) {
    wchar_t self[MAX_PATH];
    ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0U);
    const fs::path running = destination_ / L"Zimlex.exe";
    ASSERT_TRUE(
        CopyFileW((fs::path(self).parent_path() / L"sleeper.exe").c_str(), running.c_str(), FALSE));
    const std::string oldBytes = ReadBytes(running);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::wstring commandLine = L"\"" + running.wstring() + L"\"";
    ASSERT_TRUE(CreateProcessW(running.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &startup, &process));
    const UniqueKernelObject thread(process.hThread);
    const UniqueKernelObject sleeper(process.hProcess);
    Sleep(300);
    const bool copied = CopyPayload();
    TerminateProcess(sleeper.Get(), 0);
    WaitForSingleObject(sleeper.Get(), 5000);

    EXPECT_FALSE(copied);
    ExpectUntouched(oldBytes);
}

TEST_F(CopyTest, ReadsThePayloadFromTheCurrentDirectoryAtTheMomentOfTheCopy) {
    const fs::path other = Folder(L"other");
    WriteBytes(other / L"Zimlex.ex_", "from the other folder");

    ASSERT_TRUE(CopyPayload());
    EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), kNew);

    ASSERT_TRUE(SetCurrentDirectoryW(other.c_str()));
    ASSERT_TRUE(CopyPayload());
    EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), "from the other folder");
}

TEST_F(CopyTest, FailsOnAFullDiskAndKeepsTheOldExecutable) {
    const char* tinyDisk = std::getenv("ZIMLEX_TINY_DISK");
    if (tinyDisk == nullptr) {
        GTEST_SKIP() << "ZIMLEX_TINY_DISK is not set";
    }
    // Wine shows the Unix root as drive Z:.
    std::wstring windowsPath = L"Z:";
    for (const char* c = tinyDisk; *c != '\0'; ++c) {
        windowsPath += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    }
    const fs::path disk(windowsPath);
    if (!fs::exists(disk / L".tiny-disk")) {
        GTEST_SKIP() << "no tmpfs mounted at " << tinyDisk << " (mounting refused)";
    }
    destination_ = disk / L"Zimlex";
    Clear(destination_);
    fs::create_directories(destination_);
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    WriteBytes(source_ / L"Zimlex.ex_", std::string(2U << 20U, 'x'));

    EXPECT_FALSE(CopyPayload());
    ExpectUntouched(kOld);
    Clear(destination_);
}

} // namespace
