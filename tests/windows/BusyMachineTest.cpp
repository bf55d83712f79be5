#include "FileSystemFixture.h"
#include "StagingFile.h"
#include "UpdatersLock.h"

#include <chrono>
#include <future>
#include <iostream>
#include <optional>
#include <vector>

namespace {

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
    EXPECT_EQ(copied.Error(), kErrorPackagesInUse);
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

} // namespace
