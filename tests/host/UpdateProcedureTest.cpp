#include "ExitStatus.h"
#include "Paths.h"
#include "Switches.h"
#include "UpdateProcedure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Log = std::vector<std::wstring>;

const std::wstring kFirstPattern = L"C:\\Program Files (x86)\\Zimlex\\*.*";
const std::wstring kSecondPattern = L"C:\\Program Files\\Zimlex\\*.*";
const std::wstring kFirstExe = L"C:\\Program Files (x86)\\Zimlex\\Zimlex.exe";
const std::wstring kSecondExe = L"C:\\Program Files\\Zimlex\\Zimlex.exe";
const std::wstring kFirstUpdated = L"C:\\Program Files (x86)\\Zimlex\\Zimlex.exe UPDATED";
const std::wstring kSecondUpdated = L"C:\\Program Files\\Zimlex\\Zimlex.exe UPDATED";
const std::wstring kFailure = L"Eror Copying Zimlex.exe file";

// Both fakes write into one log so the order of every step is checked.
class FakeWindow final : public StatusWindow {
public:
    explicit FakeWindow(Log& log) : log_(log) {}

    bool HandlePendingMessages() override {
        log_.push_back(L"yield");
        return endInYield;
    }
    bool SetStatusText(std::wstring_view text) override {
        log_.push_back(L"status " + std::wstring(text));
        return !failingTexts.contains(std::wstring(text));
    }

    bool endInYield = false;
    std::set<std::wstring> failingTexts;

private:
    Log& log_;
};

// Every failure of the fakes carries this error unless a test names another.
constexpr WindowsError kFakeError = 5;

class FakeFiles final : public FileSystem {
public:
    explicit FakeFiles(Log& log) : log_(log) {}

    Result ProgramFiles(ProgramFilesFolders& folders) override {
        const bool added = lookUpFolders && std::all_of(programFiles.begin(), programFiles.end(),
                                                        [&](const std::wstring& folder) {
                                                            return folders.Add(folder);
                                                        });
        return added ? Result() : Result(kFakeError, {L"looking up"});
    }

    Result Probe(std::wstring_view pattern, FileName& firstFile) override {
        log_.push_back(L"probe " + std::wstring(pattern));
        const auto found = answers.find(std::wstring(pattern));
        if (found == answers.end()) {
            return {};
        }
        return found->second != L"<error>" && firstFile.Assign(found->second)
                   ? Result()
                   : Result(kFakeError, {L"probing"});
    }
    Result OpenPayload(std::wstring_view source) override {
        source_ = source;
        ++opened;
        return openError ? Result(*openError, {L"opening"}) : Result();
    }
    // Logged as one copy of the opened payload, so the order of steps reads as one list.
    Result Install(std::wstring_view destination) override {
        log_.push_back(L"copy " + source_ + L" -> " + std::wstring(destination));
        return failingCopies.contains(std::wstring(destination))
                   ? Result(kFakeError, {L"copying to ", destination})
                   : Result();
    }

    // 64-bit Windows installed on C:.
    std::vector<std::wstring> programFiles{L"C:\\Program Files (x86)", L"C:\\Program Files"};
    bool lookUpFolders = true;
    std::map<std::wstring, std::wstring> answers;
    std::set<std::wstring> failingCopies;
    std::optional<WindowsError> openError;
    int opened = 0;

private:
    Log& log_;
    std::wstring source_ = L"<not opened>";
};

class FakeLog final : public UpdateLog {
public:
    void Step(std::initializer_list<std::wstring_view> parts) override {
        std::wstring line;
        for (const std::wstring_view part : parts) {
            line += part;
        }
        lines.push_back(line);
    }
    void Failure(const Result& failure) override {
        lines.push_back(std::wstring(failure.Step()) + L": error " +
                        std::to_wstring(failure.Error()));
    }

    Log lines;
};

// One run's fakes, all writing into one log of steps.
struct FakeRun {
    [[nodiscard]] int Update() { return RunUpdate(window, files, runLog); }

    Log log;
    FakeWindow window{log};
    FakeFiles files{log};
    FakeLog runLog;
};

std::wstring Probe(const std::wstring& pattern) {
    return L"probe " + pattern;
}
std::wstring CopyTo(const std::wstring& destination) {
    return L"copy Zimlex.ex_ -> " + destination;
}
std::wstring Status(const std::wstring& text) {
    return L"status " + text;
}

struct MatrixCase {
    const char* name;
    std::map<std::wstring, std::wstring> answers;
    std::set<std::wstring> failingCopies;
    std::set<std::wstring> failingTexts;
    Log expected;
    int exitStatus;

    friend void PrintTo(const MatrixCase& c, std::ostream* os) { *os << c.name; }
};

class FolderMatrix : public testing::TestWithParam<MatrixCase> {};

TEST_P(FolderMatrix, ProbesCopiesAndReportsInOrder) {
    const MatrixCase& c = GetParam();
    FakeRun run;
    run.files.answers = c.answers;
    run.files.failingCopies = c.failingCopies;
    run.window.failingTexts = c.failingTexts;

    const int exitStatus = run.Update();

    Log expected{L"yield"};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(run.log, expected);
    EXPECT_EQ(exitStatus, c.exitStatus);
    EXPECT_LE(run.files.opened, 1) << "the payload is opened once for all folders";
}

INSTANTIATE_TEST_SUITE_P(
    Update, FolderMatrix,
    testing::Values(
        MatrixCase{"Neither", {}, {}, {}, {Probe(kFirstPattern), Probe(kSecondPattern)}, kExitDone},
        MatrixCase{
            "OnlyFirst",
            {{kFirstPattern, L"Zimlex.exe"}},
            {},
            {},
            {Probe(kFirstPattern), CopyTo(kFirstExe), Status(kFirstUpdated), Probe(kSecondPattern)},
            kExitDone},
        MatrixCase{"OnlySecond",
                   {{kSecondPattern, L"readme.txt"}},
                   {},
                   {},
                   {Probe(kFirstPattern), Probe(kSecondPattern), CopyTo(kSecondExe),
                    Status(kSecondUpdated)},
                   kExitDone},
        MatrixCase{"Both",
                   {{kFirstPattern, L"a"}, {kSecondPattern, L"b"}},
                   {},
                   {},
                   {Probe(kFirstPattern), CopyTo(kFirstExe), Status(kFirstUpdated),
                    Probe(kSecondPattern), CopyTo(kSecondExe), Status(kSecondUpdated)},
                   kExitDone},
        MatrixCase{"FirstCopyFailsSoSecondIsNeverProbed",
                   {{kFirstPattern, L"a"}, {kSecondPattern, L"b"}},
                   {kFirstExe},
                   {},
                   {Probe(kFirstPattern), CopyTo(kFirstExe), Status(kFailure)},
                   kExitFailed},
        MatrixCase{"SecondCopyFailsAfterFirstSucceeded",
                   {{kFirstPattern, L"a"}, {kSecondPattern, L"b"}},
                   {kSecondExe},
                   {},
                   {Probe(kFirstPattern), CopyTo(kFirstExe), Status(kFirstUpdated),
                    Probe(kSecondPattern), CopyTo(kSecondExe), Status(kFailure)},
                   kExitFailed},
        MatrixCase{
            "StatusWriteFailsInSuccessBranch",
            {{kFirstPattern, L"a"}, {kSecondPattern, L"b"}},
            {},
            {kFirstUpdated},
            {Probe(kFirstPattern), CopyTo(kFirstExe), Status(kFirstUpdated), Status(kFailure)},
            kExitFailed},
        MatrixCase{
            "FailureTextWriteFailsToo",
            {{kSecondPattern, L"b"}},
            {kSecondExe},
            {kFailure},
            {Probe(kFirstPattern), Probe(kSecondPattern), CopyTo(kSecondExe), Status(kFailure)},
            kExitFailed},
        MatrixCase{"ProbeErrorIsAFailure",
                   {{kFirstPattern, L"<error>"}, {kSecondPattern, L"b"}},
                   {},
                   {},
                   {Probe(kFirstPattern), Status(kFailure)},
                   kExitFailed},
        MatrixCase{"AnswerOfSpacesCountsAsEmpty",
                   {{kFirstPattern, L"   "}, {kSecondPattern, L" "}},
                   {},
                   {},
                   {Probe(kFirstPattern), Probe(kSecondPattern)},
                   kExitDone},
        MatrixCase{"NameWithSurroundingSpacesCounts",
                   {{kSecondPattern, L"  x  "}},
                   {},
                   {},
                   {Probe(kFirstPattern), Probe(kSecondPattern), CopyTo(kSecondExe),
                    Status(kSecondUpdated)},
                   kExitDone}),
    [](const testing::TestParamInfo<MatrixCase>& info) { return info.param.name; });

TEST(Update, EndingTheProgramInsideTheYieldTouchesNothing) {
    FakeRun run;
    run.files.answers = {{kFirstPattern, L"a"}, {kSecondPattern, L"b"}};
    run.window.endInYield = true;

    EXPECT_EQ(run.Update(), kExitDone);
    EXPECT_EQ(run.log, Log{L"yield"});
}

TEST(Update, RunningAgainStartsOver) {
    FakeRun run;
    run.files.answers = {{kFirstPattern, L"a"}};

    EXPECT_EQ(run.Update(), kExitDone);
    const Log once = run.log;
    EXPECT_EQ(run.Update(), kExitDone);
    Log twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(run.log, twice);
}

// The folders are the system's: one on 32-bit Windows, another drive where
// Windows is installed there; the text names the path actually replaced.
TEST(Update, LooksOnlyInTheFoldersTheSystemNames) {
    FakeRun run;
    run.files.programFiles = {L"D:\\Programme"};
    run.files.answers = {{L"D:\\Programme\\Zimlex\\*.*", L"Zimlex.exe"}, {kSecondPattern, L"b"}};

    EXPECT_EQ(run.Update(), kExitDone);
    EXPECT_EQ(run.log, (Log{L"yield", Probe(L"D:\\Programme\\Zimlex\\*.*"),
                            CopyTo(L"D:\\Programme\\Zimlex\\Zimlex.exe"),
                            Status(L"D:\\Programme\\Zimlex\\Zimlex.exe UPDATED")}));
}

TEST(Update, FoldersThatCannotBeNamedAreAFailure) {
    for (const bool tooLong : {false, true}) {
        FakeRun run;
        run.files.answers = {{kSecondPattern, L"b"}};
        if (tooLong) {
            // Room for the folder, none for what goes below it.
            run.files.programFiles = {std::wstring(PathText::kCapacity - 5, L'x')};
        } else {
            run.files.lookUpFolders = false;
        }
        EXPECT_EQ(run.Update(), kExitFailed) << tooLong;
        EXPECT_EQ(run.log, (Log{L"yield", Status(kFailure)})) << tooLong;
    }
}

// What a person reads on a failed machine: each folder probed and what was
// found there, every status text, and why nothing changed.
TEST(Update, LogsEachProbeAndEveryStatusText) {
    FakeRun run;
    run.files.answers = {{kFirstPattern, L"Zimlex.exe"}, {kSecondPattern, L"b"}};
    run.files.failingCopies = {kSecondExe};
    EXPECT_EQ(run.Update(), kExitFailed);
    EXPECT_EQ(
        run.runLog.lines,
        (Log{L"probe " + kFirstPattern + L": found Zimlex.exe", L"status: " + kFirstUpdated,
             L"probe " + kSecondPattern + L": found b", L"copying to " + kSecondExe + L": error 5",
             L"status: " + kFailure, L"end of the update: exit status 1 (failed)"}));

    FakeLog nothing;
    run.files.answers.clear();
    EXPECT_EQ(RunUpdate(run.window, run.files, nothing), kExitDone);
    EXPECT_EQ(nothing.lines, (Log{L"probe " + kFirstPattern + L": no ordinary file, not installed",
                                  L"probe " + kSecondPattern + L": no ordinary file, not installed",
                                  L"no installation found: nothing to update",
                                  L"end of the update: exit status 0 (nothing found)"}));
}

// The exit status comes from the failure's own error: another updater's lock
// is 1618, a Zimlex.exe in use 15618, every other error 1 (the start alone
// answers 1622 and 1639), and a failure whose error reads 0 is still a failure.
TEST(Update, ExitStatusComesFromTheErrorThatEndedTheRun) {
    const std::vector<std::pair<WindowsError, int>> cases = {
        {1618, 1618}, {15618, 15618}, {1622, 1}, {1639, 1}, {5, 1}, {0x800B0100, 1}, {0, 1}};
    for (const auto& [error, status] : cases) {
        FakeRun run;
        run.files.answers = {{kFirstPattern, L"a"}, {kSecondPattern, L"b"}};
        run.files.openError = error;
        EXPECT_EQ(run.Update(), status) << error;
        EXPECT_EQ(run.log, (Log{L"yield", Probe(kFirstPattern), Status(kFailure)})) << error;
        EXPECT_EQ(run.runLog.lines.back().rfind(
                      L"end of the update: exit status " + std::to_wstring(status) + L" (", 0),
                  0U)
            << error;
    }
    EXPECT_FALSE(Result(0)) << "a failure with error 0";
    EXPECT_EQ(ExitStatusOf(Result(0)), kExitFailed);
    EXPECT_EQ(ExitStatusOf(Result()), kExitDone);
}

TEST(TrimSpaces, RemovesOnlyLeadingAndTrailingSpaces) {
    EXPECT_EQ(TrimSpaces(L""), L"");
    EXPECT_EQ(TrimSpaces(L"    "), L"");
    EXPECT_EQ(TrimSpaces(L"  a b  "), L"a b");
    EXPECT_EQ(TrimSpaces(L"\ta\t"), L"\ta\t");
}

// Every split of a path goes through these: an off-by-one here names the lock,
// the stale staging files and the installed file's name wrongly everywhere.
TEST(Paths, SplitAtTheLastBackslashAndTrimClosingOnes) {
    struct Case {
        std::wstring_view path, folder, name, trimmed;
    };
    for (const Case& c :
         {Case{L"C:\\Program Files\\Zimlex\\Zimlex.exe", L"C:\\Program Files\\Zimlex",
               L"Zimlex.exe", L"C:\\Program Files\\Zimlex\\Zimlex.exe"},
          Case{L"C:\\Zimlex\\", L"C:\\Zimlex", L"", L"C:\\Zimlex"},
          Case{L"D:\\\\", L"D:\\", L"", L"D:"}, Case{L"\\name", L"", L"name", L"\\name"},
          Case{L"Zimlex.exe", L"", L"Zimlex.exe", L"Zimlex.exe"}, Case{L"", L"", L"", L""}}) {
        EXPECT_EQ(FolderOf(c.path), c.folder) << std::wstring(c.path).size();
        EXPECT_EQ(NameOf(c.path), c.name);
        EXPECT_EQ(WithoutClosingSeparators(c.path), c.trimmed);
    }
    EXPECT_EQ(FolderOf(FolderOf(L"C:\\Program Files\\Zimlex\\Zimlex.exe")), L"C:\\Program Files");
}

// Log lines carry sizes, process ids, errors and HRESULTs in these.
TEST(NumberText, WritesDecimalAndHexadecimalWithoutLeadingZeros) {
    for (const auto& [number, hexadecimal, text] :
         std::vector<std::tuple<unsigned long long, bool, std::wstring_view>>{
             {0, false, L"0"},
             {7, false, L"7"},
             {10, false, L"10"},
             {268435456, false, L"268435456"},
             {18446744073709551615ULL, false, L"18446744073709551615"},
             {0, true, L"0x0"},
             {0x800B0100, true, L"0x800B0100"},
             {0xFFFFFFFFFFFFFFFFULL, true, L"0xFFFFFFFFFFFFFFFF"}}) {
        EXPECT_EQ(NumberText(number, hexadecimal).View(), text) << number;
    }
}

TEST(FileName, RejectsNamesLongerThanAWindowsName) {
    FileName name;
    EXPECT_TRUE(name.Assign(std::wstring(FileName::kCapacity, L'x')));
    EXPECT_EQ(name.View().size(), FileName::kCapacity);
    EXPECT_FALSE(name.Assign(std::wstring(FileName::kCapacity + 1, L'y')));
    EXPECT_TRUE(name.Assign(L"ab"));
    EXPECT_FALSE(name.Append(std::wstring(FileName::kCapacity - 1, L'z')));
}

struct SwitchesCase {
    std::vector<std::wstring_view> arguments;
    bool quiet;
    std::wstring_view logPath;
    bool valid;
};

// Without any switch the program ignores what it is given, as it always has;
// with one, a mistake anywhere must not become an interactive run.
TEST(Switches, ReadsQuietAndLogAndRefusesMistakesBesideThem) {
    const std::vector<SwitchesCase> cases = {
        {{}, false, L"", true},
        {{L"hello", L"/x", L"-quite"}, false, L"", true},
        {{L"/quiet"}, true, L"", true},
        {{L"/Q"}, true, L"", true},
        {{L"-QUIET"}, true, L"", true},
        {{L"/log", L"C:\\x.log"}, false, L"C:\\x.log", true},
        {{L"-Log", L"a b.log", L"/q"}, true, L"a b.log", true},
        {{L"/quiet", L"/reboot"}, true, L"", false},
        {{L"/quiet", L"extra"}, true, L"", false},
        {{L"/quiet", L"/log"}, true, L"", false},
        {{L"/log", L"/quiet"}, true, L"", false},
        {{L"/log", L""}, false, L"", false},
        {{L"/log", L"a.log", L"/log", L"b.log"}, false, L"a.log", false},
        {{L"/quiet:yes"}, false, L"", true},
    };
    for (const SwitchesCase& c : cases) {
        const Switches read = ReadSwitches(c.arguments);
        std::wstring line;
        for (const std::wstring_view argument : c.arguments) {
            line += std::wstring(argument) + L' ';
        }
        EXPECT_EQ(read.quiet, c.quiet) << std::string(line.begin(), line.end());
        EXPECT_EQ(read.valid, c.valid) << std::string(line.begin(), line.end());
        if (c.valid) {
            EXPECT_EQ(read.logPath, c.logPath) << std::string(line.begin(), line.end());
        }
    }
}

} // namespace
