#include "AppsAndFeatures.h"
#include "FileIdentity.h"
#include "FileLog.h"
#include "FileWriters.h"
#include "Handles.h"
#include "ProgramImage.h"
#include "PublisherCheck.h"
#include "WindowsFileSystem.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

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

fs::path BesideThisTest(const wchar_t* program) {
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
std::atomic<unsigned> namesTaken{0};

Result KnownRandom(void* bytes, ULONG size) {
    std::memset(bytes, static_cast<int>((++namesTaken * 0x11U) & 0xFFU), size);
    return {};
}

std::wstring StagingName(unsigned n) {
    wchar_t digits[3];
    std::swprintf(digits, 3, L"%02x", (n * 0x11U) & 0xFFU);
    std::wstring name = L"Zimlex.exe.";
    for (int i = 0; i < 8; ++i) {
        name += digits;
    }
    return name + L".new";
}

ULONGLONG MillisecondsSince(ULONGLONG start) {
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

// No folder, or a plain file in its place (systems answer that with different
// errors): no installation there, and no failure either.
TEST_F(FileSystemTest, ProbeOfAFolderThatIsNotThereAnswersEmptyNotAFailure) {
    WriteBytes(root_ / L"plain", "not a folder");
    for (const fs::path& folder : {root_ / L"missing", root_ / L"missing" / L"deeper",
                                   root_ / L"plain", root_ / L"plain" / L"deeper"}) {
        FileName first;
        ASSERT_TRUE(first.Assign(L"stale"));
        EXPECT_TRUE(files_.Probe(Pattern(folder), first)) << folder;
        EXPECT_TRUE(first.View().empty()) << folder;
    }
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

// A rebuilt executable often keeps its size to the byte; only exactly the
// payload's bytes are left as they are.
TEST_F(CopyTest, ComparesBytesNotSizesWithTheInstalledExecutable) {
    std::string lastByte = kNew;
    lastByte.back() = 'X';
    std::string firstByte = kNew;
    firstByte.front() = 'X';
    for (const std::string& installed : {lastByte, firstByte, kNew}) {
        WriteBytes(destination_ / L"Zimlex.exe", installed);
        WindowsFileSystem files(log_, waits_, KnownRandom);
        ASSERT_TRUE(Copy(files, destination_ / L"Zimlex.exe"));
        EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), kNew);
        EXPECT_EQ(Names(destination_), std::set<std::wstring>{L"Zimlex.exe"});
    }
}

TEST_F(CopyTest, RefusesAnEmptyPayload) {
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    WriteBytes(source_ / L"Zimlex.ex_", "");
    EXPECT_FALSE(CopyPayload());
    ExpectUntouched(kOld);
}

TEST_F(CopyTest, KeepsThePayloadsModificationTime) {
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    const fs::path payload = source_ / L"Zimlex.ex_";
    // 2021-03-04 05:06:07 UTC, far from the time of the test.
    const FILETIME built{0x9D4A8F80, 0x01D710B4};
    {
        UniqueFile file(CreateFileW(payload.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        ASSERT_TRUE(SetFileTime(file.Get(), nullptr, nullptr, &built));
    }
    ASSERT_TRUE(CopyPayload());
    WIN32_FILE_ATTRIBUTE_DATA installed{};
    ASSERT_TRUE(GetFileAttributesExW((destination_ / L"Zimlex.exe").c_str(), GetFileExInfoStandard,
                                     &installed));
    EXPECT_EQ(installed.ftLastWriteTime.dwHighDateTime, built.dwHighDateTime);
    EXPECT_EQ(installed.ftLastWriteTime.dwLowDateTime, built.dwLowDateTime);
}

TEST_F(CopyTest, ClearsStagingFilesOfRunsKilledHalfWay) {
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    const fs::path staging = destination_ / (std::wstring(L"Zimlex.exe") + kStagingSuffix.data());
    WriteBytes(staging, "half a copy", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    WriteBytes(destination_ / L"Zimlex.exe.0123456789abcdef.new", "another half");
    WriteBytes(destination_ / L"Zimlex.exe.notmine.new", "somebody's");

    ASSERT_TRUE(CopyPayload());
    EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), kNew);
    EXPECT_EQ(Names(destination_),
              (std::set<std::wstring>{L"Zimlex.exe", L"Zimlex.exe.notmine.new"}));
}

// Another program of the user may plant links where the updater stages:
// neither the file a link leads to nor its attributes may change.
TEST_F(CopyTest, LinksPlantedAtStagingNamesAreNeitherFollowedNorChanged) {
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    const fs::path precious = Folder(L"elsewhere") / L"precious.dll";
    WriteBytes(precious, "precious", FILE_ATTRIBUTE_READONLY);
    const std::wstring former = std::wstring(L"Zimlex.exe") + kStagingSuffix.data();
    for (const std::wstring& name : {former, StagingName(1)}) {
        ASSERT_TRUE(CreateHardLinkW((destination_ / name).c_str(), precious.c_str(), nullptr));
    }

    ASSERT_TRUE(CopyPayload());
    EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), kNew);
    EXPECT_EQ(ReadBytes(precious), "precious");
    EXPECT_NE(GetFileAttributesW(precious.c_str()) & FILE_ATTRIBUTE_READONLY, 0U);
    EXPECT_EQ(Names(destination_), (std::set<std::wstring>{L"Zimlex.exe", former, StagingName(1)}));
}

// A payload that is another name of a file elsewhere, perhaps one only
// administrators may read, is never copied into Program Files.
TEST_F(CopyTest, RefusesAPayloadThatIsAHardLink) {
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    const fs::path secret = Folder(L"elsewhere") / L"secret.bin";
    WriteBytes(secret, "not for users");
    fs::remove(source_ / L"Zimlex.ex_");
    ASSERT_TRUE(CreateHardLinkW((source_ / L"Zimlex.ex_").c_str(), secret.c_str(), nullptr));

    const Result copied = CopyPayload();
    EXPECT_FALSE(copied);
    EXPECT_EQ(copied.Error(), kErrorStoppedOnLink);
    ExpectUntouched(kOld);
}

// The payload's path is held to the file opened however it is spelt; the
// spellings that cannot be held (shares, GLOBALROOT, streams) are refused.
TEST_F(CopyTest, OpensThePayloadOnlyInSpellingsItCanHold) {
    const std::wstring full = (source_ / L"Zimlex.ex_").wstring();
    const std::wstring share = L"localhost\\C$\\" + full.substr(3);
    for (const auto& [spelling, opens] : std::initializer_list<std::pair<std::wstring, bool>>{
             {L"\\\\?\\" + full, true},
             {L"\\\\.\\" + full, true},
             {L"\\\\" + share, false},
             {L"\\\\?\\UNC\\" + share, false},
             {L"\\\\?\\GLOBALROOT\\??\\" + full, false},
             {full + L":stream", false}}) {
        WindowsFileSystem files(log_, waits_, KnownRandom);
        const Result opened = files.OpenPayload(spelling);
        EXPECT_EQ(static_cast<bool>(opened), opens) << fs::path(spelling).string();
        EXPECT_TRUE(opens || opened.Error() == ERROR_BAD_PATHNAME) << opened.Error();
    }
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
    EXPECT_FALSE(Copy(files_, root_ / L"absent" / L"Zimlex.exe"));
    EXPECT_FALSE(fs::exists(root_ / L"absent"));
}

TEST_F(CopyTest, FailsWhileAnotherHandleDeniesDeleteSharing) {
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    UniqueFile held(CreateFileW((destination_ / L"Zimlex.exe").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr));
    ASSERT_TRUE(held);
    const Result copied = CopyPayload();
    held.Reset();
    EXPECT_FALSE(copied);
    ExpectUntouched(kOld);
}

TEST_F(CopyTest, FailsWhileTheExecutableRuns) {
    const fs::path running = destination_ / L"Zimlex.exe";
    ASSERT_TRUE(CopyFileW(BesideThisTest(L"sleeper.exe").c_str(), running.c_str(), FALSE));
    const std::string oldBytes = ReadBytes(running);

    ChildProcess sleeper;
    ASSERT_TRUE(sleeper.Start(running, L""));
    Sleep(300);
    const ULONGLONG started = GetTickCount64();
    EXPECT_FALSE(CopyPayload());
    std::cout << "failure against a running executable after " << MillisecondsSince(started)
              << " ms\n";
    ExpectUntouched(oldBytes);
}

TEST_F(CopyTest, ReadsThePayloadFromTheCurrentDirectoryAtTheMomentOfTheFirstCopy) {
    const fs::path other = Folder(L"other");
    WriteBytes(other / L"Zimlex.ex_", "from the other folder");
    ASSERT_TRUE(SetCurrentDirectoryW(other.c_str()));

    ASSERT_TRUE(CopyPayload());
    EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), "from the other folder");
}

// Nobody may swap the payload between the folders of one run.
TEST_F(CopyTest, OneRunInstallsOnePayloadThatNoWriterCanChange) {
    const fs::path payload = source_ / L"Zimlex.ex_";
    const fs::path second = Folder(L"second");
    std::optional<WindowsFileSystem> run(std::in_place, log_, waits_);
    ASSERT_TRUE(Copy(*run, destination_ / L"Zimlex.exe"));

    const UniqueFile writer(CreateFileW(payload.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer) << "a writer opened the payload during the run";
    EXPECT_FALSE(DeleteFileW(payload.c_str())) << "the payload was deleted during the run";
    const fs::path other = Folder(L"other");
    WriteBytes(other / L"Zimlex.ex_", "swapped in");
    ASSERT_TRUE(SetCurrentDirectoryW(other.c_str()));

    ASSERT_TRUE(run->Install((second / L"Zimlex.exe").wstring()));
    EXPECT_EQ(ReadBytes(destination_ / L"Zimlex.exe"), kNew);
    EXPECT_EQ(ReadBytes(second / L"Zimlex.exe"), kNew);

    run.reset();
    const UniqueFile afterwards(
        CreateFileW(payload.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(afterwards) << "the payload stayed locked after the run";
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

// --- A busy machine -----------------------------------------------------------

class BusyMachineTest : public CopyTest {
protected:
    void SetUp() override {
        CopyTest::SetUp();
        // Large enough that a scanner has time to act while it is copied.
        kLarge = std::string(32U << 20U, 'N') + "large new executable";
        WriteBytes(source_ / L"Zimlex.ex_", kLarge);
        WriteBytes(destination_ / L"Zimlex.exe", kOld);
    }

    void ExpectNewAndAlone() {
        EXPECT_TRUE(ReadBytes(destination_ / L"Zimlex.exe") == kLarge)
            << "Zimlex.exe does not hold the new bytes";
        EXPECT_EQ(Names(destination_), std::set<std::wstring>{L"Zimlex.exe"});
    }

    [[nodiscard]] fs::path Staging() const { return destination_ / StagingName(1); }
    [[nodiscard]] fs::path FormerStaging() const {
        return destination_ / (std::wstring(L"Zimlex.exe") + kStagingSuffix.data());
    }

    std::string kLarge;
};

TEST_F(BusyMachineTest, AnIndexerWaitingForTheStagingFileCannotStrandIt) {
    Scanner indexer;
    ASSERT_TRUE(indexer.Start(Staging(), L"r", 2000, false, 2500));
    EXPECT_TRUE(CopyPayload());
    ExpectNewAndAlone();
    EXPECT_EQ(indexer.Wait(30000), 1U) << "the indexer opened the staging file";
}

// Staging names planted by the score and held open cost a run a moment: a few
// are tried once each, and whatever is held or beyond them waits for later.
TEST_F(BusyMachineTest, HeldStagingFilesOfEarlierRunsCostTheRunAMoment) {
    constexpr unsigned kPlanted = 20;
    std::vector<UniqueFile> held;
    for (unsigned n = 100; n < 100 + kPlanted; ++n) {
        WriteBytes(destination_ / StagingName(n), "half a copy");
        held.emplace_back(CreateFileW((destination_ / StagingName(n)).c_str(), GENERIC_READ, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.back());
    }
    const ULONGLONG started = GetTickCount64();
    EXPECT_TRUE(CopyPayload());
    EXPECT_LT(MillisecondsSince(started), 15000U);
    EXPECT_TRUE(ReadBytes(destination_ / L"Zimlex.exe") == kLarge);
    EXPECT_EQ(Names(destination_).size(), 1 + kPlanted);

    // Let go of, they go a few a run.
    held.clear();
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    ASSERT_TRUE(CopyPayload());
    EXPECT_EQ(Names(destination_).size(), 1 + kPlanted - kMostStaleStagingFilesARun);
}

TEST_F(BusyMachineTest, AScannerHoldingTheExecutableBrieflyIsWaitedFor) {
    Scanner scanner;
    ASSERT_TRUE(scanner.Start(destination_ / L"Zimlex.exe", L"rd", 1500, true));
    const ULONGLONG started = GetTickCount64();
    EXPECT_TRUE(CopyPayload());
    std::cout << "replaced after " << MillisecondsSince(started) << " ms\n";
    ExpectNewAndAlone();
}

TEST_F(BusyMachineTest, AScannerHoldingTheExecutableForGoodFailsAfterTheRetries) {
    Scanner scanner;
    ASSERT_TRUE(scanner.Start(destination_ / L"Zimlex.exe", L"rd", 60000, true));
    const ULONGLONG started = GetTickCount64();
    const Result copied = CopyPayload();
    const ULONGLONG elapsed = MillisecondsSince(started);
    std::cout << "gave up after " << elapsed << " ms\n";
    // Windows 10 1809 and later replace a file held with delete sharing.
    if (copied) {
        GTEST_SKIP() << "this system replaces a file that others hold with delete sharing";
    }
    EXPECT_GE(elapsed, kSharingRetryMs - 200);
    EXPECT_LT(elapsed, kSharingRetryMs + 5000);
    ExpectUntouched(kOld);
}

// Two updaters started together copy one after the other.
TEST_F(BusyMachineTest, ASecondRunWaitsUntilTheFirstHasEnded) {
    const fs::path second = Folder(L"second");
    std::optional<WindowsFileSystem> first(std::in_place, log_, waits_);
    ASSERT_TRUE(Copy(*first, destination_ / L"Zimlex.exe"));

    auto later = std::async(std::launch::async, [&] {
        FileLog log;
        PlainWaits waits;
        WindowsFileSystem run(log, waits);
        return static_cast<bool>(Copy(run, second / L"Zimlex.exe"));
    });
    EXPECT_EQ(later.wait_for(std::chrono::milliseconds(700)), std::future_status::timeout)
        << "the second run copied while the first still ran";
    first.reset();
    ASSERT_EQ(later.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(later.get());
    EXPECT_TRUE(ReadBytes(second / L"Zimlex.exe") == kLarge);
}

// Only another updater can hold the lock: it is a file in a folder that only
// administrators can write. Held too long, the run ends with 1618.
TEST_F(BusyMachineTest, AnUpdaterHoldingTheLockTooLongEndsTheRunAsBusy) {
    constexpr DWORD kWaitMs = 1500;
    const fs::path lock = root_ / kUpdatersLockName;
    WriteBytes(lock, "");
    Scanner updater;
    ASSERT_TRUE(updater.Start(lock, L"-", 30000, true));
    WindowsFileSystem run(log_, waits_, KnownRandom, kWaitMs);
    const ULONGLONG started = GetTickCount64();
    const Result copied = Copy(run, destination_ / L"Zimlex.exe");
    const ULONGLONG elapsed = MillisecondsSince(started);
    std::cout << "failed after " << elapsed << " ms\n";
    EXPECT_FALSE(copied);
    EXPECT_EQ(copied.Error(), static_cast<DWORD>(ERROR_INSTALL_ALREADY_RUNNING));
    EXPECT_GE(elapsed, kWaitMs - 100);
    EXPECT_LT(elapsed, kWaitMs + 3000);
    ExpectUntouched(kOld);
}

// The lock stays, for administrators alone: a user's handle on it, which
// may only read its attributes, holds no later run up, and a lock file left
// by an earlier run is free.
TEST_F(BusyMachineTest, TheLockStaysAndNobodysHandleOnItHoldsUpTheNextRun) {
    const fs::path lock = root_ / kUpdatersLockName;
    Scanner user;
    {
        WindowsFileSystem run(log_, waits_, KnownRandom);
        EXPECT_TRUE(Copy(run, destination_ / L"Zimlex.exe"));
        ASSERT_TRUE(user.Start(lock, L"a", 30000, true));
    }
    const DWORD attributes = GetFileAttributesW(lock.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << "the lock went with its run";
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    WriteBytes(destination_ / L"Zimlex.exe", kOld);
    WindowsFileSystem next(log_, waits_, KnownRandom, 30000);
    const ULONGLONG started = GetTickCount64();
    EXPECT_TRUE(Copy(next, destination_ / L"Zimlex.exe"));
    EXPECT_LT(MillisecondsSince(started), 10000U) << "the next run waited for the user's handle";
    ExpectNewAndAlone();
}

// Only a sharing violation is another updater: any other failure to take the
// lock ends the run at once, with its own error.
TEST_F(BusyMachineTest, ALockThatCannotBeOpenedEndsTheRunAtOnce) {
    fs::create_directory(root_ / kUpdatersLockName);
    WindowsFileSystem run(log_, waits_, KnownRandom, 30000);
    const ULONGLONG started = GetTickCount64();
    const Result copied = Copy(run, destination_ / L"Zimlex.exe");
    EXPECT_FALSE(copied);
    EXPECT_NE(copied.Error(), static_cast<DWORD>(ERROR_INSTALL_ALREADY_RUNNING));
    EXPECT_LT(MillisecondsSince(started), 10000U);
    ExpectUntouched(kOld);
}

// --- The log -------------------------------------------------------------------

using FileLogTest = FileSystemTest;

std::wstring TokenUser() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    const UniqueKernelObject owned(token);
    std::array<BYTE, 256> buffer{};
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (!GetTokenInformation(token, ::TokenUser, buffer.data(), buffer.size(), &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        return L"S-1-0-0";
    }
    const UniqueLocalMemory held(text);
    return text;
}

// Whatever a step names, a program's title or a certificate's name, it stays
// one line; the command line, which whoever started the program chose, also
// holds nothing a command interpreter would act on.
TEST_F(FileLogTest, OneStepIsOneLineWhateverItNames) {
    const fs::path path = root_ / L"update.log";
    {
        FileLog log;
        ASSERT_TRUE(log.Open(path.c_str()));
        log.Started(L"1.00", L"u.exe /log C:\\x&%PUBLIC%\\e.exe&|<>^!\\..\\t.log\r\nforged");
        log.Step({L"held by Zimlex\r\n2026-01-01 00:00:00.000Z end of the update: exit status 0 ",
                  L"\u2028\u2029\x85\x7F\t. Apps & Features 1.0 -> 2.0"});
    }
    const std::string text = ReadBytes(path);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
    EXPECT_NE(text.find("Z ZimlexUpdate 1.00 started: u.exe /log C:\\x\\u0026\\u0025PUBLIC\\u0025"
                        "\\e.exe\\u0026\\u007C\\u003C\\u003E\\u005E\\u0021\\..\\t.log\\u000D\\u000A"
                        "forged\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Zimlex\\u000D\\u000A2026-01-01"), std::string::npos) << text;
    EXPECT_NE(text.find("0 \\u2028\\u2029\\u0085\\u007F\\u0009. Apps & Features 1.0 -> 2.0\r\n"),
              std::string::npos)
        << text;
}

// The log is a ".log" of the updater's own, however its path is spelt: a new
// one begins with the updater's line; any other name, spelling or file is
// refused with nothing made and nothing changed.
TEST_F(FileLogTest, WritesOnlyALogOfItsOwn) {
    const std::wstring root = root_.wstring();
    WriteBytes(root_ / L"task.cmd", "@echo precious");
    WriteBytes(root_ / L"other.log", "another program's log");
    fs::create_directory(root_ / L"sub");
    struct Case {
        std::wstring path;
        const wchar_t* made; // the file that must then hold the first line; null: refused
    };
    for (const Case& c :
         {Case{root + L"\\new.log", L"new.log"}, Case{root + L"\\sub\\..\\UPPER.LOG", L"UPPER.LOG"},
          Case{L"\\\\?\\" + root + L"\\long-form.log", L"long-form.log"},
          Case{L"\\\\.\\" + root + L"\\device-form.log", L"device-form.log"},
          Case{root + L"\\task.cmd", nullptr}, Case{root + L"\\new.cmd", nullptr},
          Case{root + L"\\x&%PUBLIC%\\e.exe&\\..\\..\\task.cmd", nullptr},
          Case{root + L"\\other.log", nullptr}, Case{root + L"\\task.cmd:stream.log", nullptr},
          Case{root + L"\\trailing.log. .", L"trailing.log"},
          Case{L"\\\\?\\GLOBALROOT\\??\\" + root + L"\\global.log", nullptr},
          Case{L"\\\\localhost\\C$\\share.log", nullptr},
          Case{L"\\\\?\\UNC\\localhost\\C$\\share.log", nullptr}}) {
        const std::set<std::wstring> before = Names(root_);
        {
            FileLog log;
            const Result opened = log.Open(c.path.c_str());
            ASSERT_EQ(static_cast<bool>(opened), c.made != nullptr)
                << fs::path(c.path).string() << ": error " << opened.Error();
            log.Step({L"one step"});
        }
        if (c.made == nullptr) {
            EXPECT_EQ(Names(root_), before) << fs::path(c.path).string();
            continue;
        }
        const std::string text = ReadBytes(root_ / c.made);
        EXPECT_EQ(text.substr(0, kLogFirstLine.size()), kLogFirstLine);
        EXPECT_NE(text.find("Z one step\r\n"), std::string::npos) << text;
    }
    EXPECT_EQ(ReadBytes(root_ / L"task.cmd"), "@echo precious");
    EXPECT_EQ(ReadBytes(root_ / L"other.log"), "another program's log");
}

// A log file somebody else prepared is never written to: one that anyone but
// administrators and the system may write, or that is not theirs. Read from
// descriptors, since Wine shows every file as its own user's.
TEST_F(FileLogTest, UsesOnlyALogThatAdministratorsAloneMayWrite) {
    struct Case {
        const wchar_t* descriptor;
        bool used;
    };
    for (const Case& c : {Case{L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)", true},
                          Case{L"O:SYD:(A;OICIIO;FA;;;CO)(A;;FA;;;BA)(D;;FA;;;BU)", true},
                          Case{L"O:BAD:P(A;;FA;;;BA)(A;;FW;;;BU)", false},
                          Case{L"O:BAD:P(A;;FA;;;BA)(A;;0x4;;;WD)", false},
                          Case{L"O:BAD:P(A;;FA;;;BA)(A;;WD;;;AU)", false},
                          Case{L"O:BAD:P(A;;FA;;;BA)(A;;GA;;;IU)", false}, Case{L"O:BA", false},
                          Case{L"O:BUD:P(A;;FA;;;BA)", false}, Case{L"", false}}) {
        // The running user is the same user as any unelevated program of theirs.
        std::wstring text = c.descriptor;
        if (text.empty()) {
            text = L"O:" + TokenUser() + L"D:P(A;;FA;;;BA)";
        }
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
            text.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
        const UniqueLocalMemory held(descriptor);
        SetLastError(ERROR_SUCCESS);
        const Result used = OnlyAdministratorsMayWrite(descriptor);
        EXPECT_EQ(static_cast<bool>(used), c.used) << fs::path(text).string();
        EXPECT_TRUE(used || used.Error() != ERROR_SUCCESS) << fs::path(text).string();
    }
    // A null DACL, which lets everybody do everything; built by hand, as Wine
    // reads NO_ACCESS_CONTROL as an empty one.
    SECURITY_DESCRIPTOR open{};
    std::array<BYTE, SECURITY_MAX_SID_SIZE> administrators{};
    DWORD size = administrators.size();
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators.data(), &size));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&open, administrators.data(), FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_FALSE(OnlyAdministratorsMayWrite(&open));
}

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

// --- The publisher check --------------------------------------------------------

DWORD WINAPI NoName(PCCERT_CONTEXT, DWORD, DWORD, void*, LPWSTR name, DWORD) {
    name[0] = L'\0';
    return 1;
}
// Fails as a broken provider may: without an error of its own.
BOOL WINAPI HashFails(HCRYPTPROV_LEGACY, ALG_ID, DWORD, DWORD, PCERT_PUBLIC_KEY_INFO, BYTE*,
                      DWORD*) {
    SetLastError(ERROR_SUCCESS);
    return FALSE;
}
BOOL WINAPI HashOfZeros(HCRYPTPROV_LEGACY, ALG_ID, DWORD, DWORD, PCERT_PUBLIC_KEY_INFO, BYTE* hash,
                        DWORD* size) {
    std::memset(hash, 0, *size);
    return TRUE;
}

// A refusal carries an error of its own, whatever the thread's last error was:
// no signer, no chain, a key that cannot be hashed, a key nobody pinned.
// What a pinned build compares with the file it replaces: the name the version
// resource gives, read from the built updater as it is and with that name or
// its key rewritten in place.
TEST_F(FileSystemTest, ReadsTheOriginalFilenameOfAProgramsVersionResource) {
    const std::string built = ReadBytes(BesideThisTest(L"..\\ZimlexUpdate.exe"));
    const auto wide = [](std::string_view text) {
        std::string bytes;
        for (const char c : text) {
            bytes += {c, '\0'};
        }
        return bytes;
    };
    // The resources come last; the program's code names the key too.
    const std::size_t key = built.rfind(wide("OriginalFilename"));
    const std::size_t value = built.find(wide("ZimlexUpdate.exe"), key);
    ASSERT_NE(value, std::string::npos);
    struct Case {
        std::size_t at;
        std::string bytes;
        const wchar_t* expected;
    };
    for (const Case& c : {Case{0, "", L"ZimlexUpdate.exe"},
                          Case{value, wide("Zimlex.exe") + std::string(12, '\0'), L"Zimlex.exe"},
                          Case{key, wide("X"), L""}}) {
        std::string bytes = built;
        bytes.replace(c.at, c.bytes.size(), c.bytes);
        WriteBytes(root_ / L"program.exe", bytes);
        const UniqueFile file = OpenToRead((root_ / L"program.exe").c_str());
        ProgramVersion version;
        ASSERT_TRUE(ReadProgramVersion(file.Get(), version)) << c.expected;
        EXPECT_EQ(std::wstring(version.originalFilename.View()), c.expected) << c.at;
        EXPECT_EQ(version.fixed.dwFileVersionMS, 0x00010000U) << c.expected;
    }
    // A download cut short is refused, never read past its end.
    for (const std::size_t size :
         {std::size_t{2}, std::size_t{64}, std::size_t{512}, built.size() / 2}) {
        WriteBytes(root_ / L"cut.exe", built.substr(0, size));
        const UniqueFile file = OpenToRead((root_ / L"cut.exe").c_str());
        ProgramVersion version;
        EXPECT_FALSE(ReadProgramVersion(file.Get(), version)) << size;
    }
}

TEST(PublisherCheckTest, RefusesWhatItCannotCheckWhateverTheLastErrorWas) {
    CERT_INFO info{};
    CERT_CONTEXT certificate{};
    certificate.pCertInfo = &info;
    CRYPT_PROVIDER_CERT chain{};
    chain.pCert = &certificate;
    CRYPT_PROVIDER_SGNR signer{};
    signer.csCertChain = 1;
    signer.pasCertChain = &chain;
    const CRYPT_PROVIDER_SGNR noChain{};
    struct Case {
        const char* name;
        const CRYPT_PROVIDER_SGNR* signer;
        decltype(&CryptHashPublicKeyInfo) hash;
    };
    for (const Case& c :
         {Case{"no signer", nullptr, HashOfZeros}, Case{"no chain", &noChain, HashOfZeros},
          Case{"hash fails", &signer, HashFails}, Case{"key not pinned", &signer, HashOfZeros}}) {
        PublisherCheck::Functions functions;
        functions.nameOf = NoName;
        functions.hashPublicKey = c.hash;
        const PublisherCheck check(functions);
        FileLog log;
        SetLastError(ERROR_SUCCESS);
        const Result accepted = check.AcceptsSigner(c.signer, log);
        EXPECT_FALSE(accepted) << c.name;
        EXPECT_NE(accepted.Error(), static_cast<DWORD>(ERROR_SUCCESS)) << c.name;
    }
}

} // namespace
