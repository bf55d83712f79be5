#include "FileSystemFixture.h"
#include "FileIdentity.h"
#include "StagingFile.h"

#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <optional>
#include <utility>

namespace {

// --- Copy --------------------------------------------------------------------

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
    const Result copied = CopyPayload();
    EXPECT_FALSE(copied);
    EXPECT_NE(copied.Error(), kErrorPackagesInUse) << "a read-only file is in nobody's use";
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
    EXPECT_EQ(copied.Error(), kErrorPackagesInUse);
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
    const Result copied = CopyPayload();
    std::cout << "failure against a running executable after " << MillisecondsSince(started)
              << " ms\n";
    EXPECT_EQ(copied.Error(), kErrorPackagesInUse);
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

} // namespace
