#include "Switches.h"
#include "UpdateProcedure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
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

struct ProgramEnded {};

// Both fakes write into one log so the order of every step is checked.
class FakeWindow final : public StatusWindow {
public:
    explicit FakeWindow(Log& log) : log_(log) {}

    void HandlePendingMessages() override {
        log_.push_back(L"yield");
        if (endInYield) {
            throw ProgramEnded{};
        }
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

class FakeFiles final : public FileSystem {
public:
    explicit FakeFiles(Log& log) : log_(log) {}

    bool ProgramFiles(ProgramFilesFolders& folders) override {
        return lookUpFolders &&
               std::all_of(programFiles.begin(), programFiles.end(),
                           [&](const std::wstring& folder) { return folders.Add(folder); });
    }

    bool Probe(std::wstring_view pattern, FileName& firstFile) override {
        log_.push_back(L"probe " + std::wstring(pattern));
        const auto found = answers.find(std::wstring(pattern));
        if (found == answers.end()) {
            return true;
        }
        return found->second != L"<error>" && firstFile.Assign(found->second);
    }
    bool Copy(std::wstring_view source, std::wstring_view destination) override {
        log_.push_back(L"copy " + std::wstring(source) + L" -> " + std::wstring(destination));
        return !failingCopies.contains(std::wstring(destination));
    }

    // 64-bit Windows installed on C:.
    std::vector<std::wstring> programFiles{L"C:\\Program Files (x86)", L"C:\\Program Files"};
    bool lookUpFolders = true;
    std::map<std::wstring, std::wstring> answers;
    std::set<std::wstring> failingCopies;

private:
    Log& log_;
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

    Log lines;
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
    UpdateOutcome outcome;

    friend void PrintTo(const MatrixCase& c, std::ostream* os) { *os << c.name; }
};

class FolderMatrix : public testing::TestWithParam<MatrixCase> {};

TEST_P(FolderMatrix, ProbesCopiesAndReportsInOrder) {
    const MatrixCase& c = GetParam();
    Log log;
    FakeWindow window(log);
    FakeFiles files(log);
    FakeLog runLog;
    files.answers = c.answers;
    files.failingCopies = c.failingCopies;
    window.failingTexts = c.failingTexts;

    const UpdateOutcome outcome = RunUpdate(window, files, runLog);

    Log expected{L"yield"};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(log, expected);
    EXPECT_EQ(outcome, c.outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Update, FolderMatrix,
    testing::Values(MatrixCase{"Neither",
                               {},
                               {},
                               {},
                               {Probe(kFirstPattern), Probe(kSecondPattern)},
                               UpdateOutcome::NothingFound},
                    MatrixCase{"OnlyFirst",
                               {{kFirstPattern, L"Zimlex.exe"}},
                               {},
                               {},
                               {Probe(kFirstPattern), CopyTo(kFirstExe), Status(kFirstUpdated),
                                Probe(kSecondPattern)},
                               UpdateOutcome::Updated},
                    MatrixCase{"OnlySecond",
                               {{kSecondPattern, L"readme.txt"}},
                               {},
                               {},
                               {Probe(kFirstPattern), Probe(kSecondPattern), CopyTo(kSecondExe),
                                Status(kSecondUpdated)},
                               UpdateOutcome::Updated},
                    MatrixCase{"Both",
                               {{kFirstPattern, L"a"}, {kSecondPattern, L"b"}},
                               {},
                               {},
                               {Probe(kFirstPattern), CopyTo(kFirstExe), Status(kFirstUpdated),
                                Probe(kSecondPattern), CopyTo(kSecondExe), Status(kSecondUpdated)},
                               UpdateOutcome::Updated},
                    MatrixCase{"FirstCopyFailsSoSecondIsNeverProbed",
                               {{kFirstPattern, L"a"}, {kSecondPattern, L"b"}},
                               {kFirstExe},
                               {},
                               {Probe(kFirstPattern), CopyTo(kFirstExe), Status(kFailure)},
                               UpdateOutcome::Failed},
                    MatrixCase{"SecondCopyFailsAfterFirstSucceeded",
                               {{kFirstPattern, L"a"}, {kSecondPattern, L"b"}},
                               {kSecondExe},
                               {},
                               {Probe(kFirstPattern), CopyTo(kFirstExe), Status(kFirstUpdated),
                                Probe(kSecondPattern), CopyTo(kSecondExe), Status(kFailure)},
                               UpdateOutcome::Failed},
                    MatrixCase{"StatusWriteFailsInSuccessBranch",
                               {{kFirstPattern, L"a"}, {kSecondPattern, L"b"}},
                               {},
                               {kFirstUpdated},
                               {Probe(kFirstPattern), CopyTo(kFirstExe), Status(kFirstUpdated),
                                Status(kFailure)},
                               UpdateOutcome::Failed},
                    MatrixCase{"FailureTextWriteFailsToo",
                               {{kSecondPattern, L"b"}},
                               {kSecondExe},
                               {kFailure},
                               {Probe(kFirstPattern), Probe(kSecondPattern), CopyTo(kSecondExe),
                                Status(kFailure)},
                               UpdateOutcome::Failed},
                    MatrixCase{"ProbeErrorIsAFailure",
                               {{kFirstPattern, L"<error>"}, {kSecondPattern, L"b"}},
                               {},
                               {},
                               {Probe(kFirstPattern), Status(kFailure)},
                               UpdateOutcome::Failed},
                    MatrixCase{"AnswerOfSpacesCountsAsEmpty",
                               {{kFirstPattern, L"   "}, {kSecondPattern, L" "}},
                               {},
                               {},
                               {Probe(kFirstPattern), Probe(kSecondPattern)},
                               UpdateOutcome::NothingFound},
                    MatrixCase{"NameWithSurroundingSpacesCounts",
                               {{kSecondPattern, L"  x  "}},
                               {},
                               {},
                               {Probe(kFirstPattern), Probe(kSecondPattern), CopyTo(kSecondExe),
                                Status(kSecondUpdated)},
                               UpdateOutcome::Updated}),
    [](const testing::TestParamInfo<MatrixCase>& info) { return info.param.name; });

TEST(Update, EndingTheProgramInsideTheYieldTouchesNothing) {
    Log log;
    FakeWindow window(log);
    FakeFiles files(log);
    FakeLog runLog;
    files.answers = {{kFirstPattern, L"a"}, {kSecondPattern, L"b"}};
    window.endInYield = true;

    EXPECT_THROW(static_cast<void>(RunUpdate(window, files, runLog)), ProgramEnded);
    EXPECT_EQ(log, Log{L"yield"});
}

TEST(Update, RunningAgainStartsOver) {
    Log log;
    FakeWindow window(log);
    FakeFiles files(log);
    FakeLog runLog;
    files.answers = {{kFirstPattern, L"a"}};

    EXPECT_EQ(RunUpdate(window, files, runLog), UpdateOutcome::Updated);
    const Log once = log;
    EXPECT_EQ(RunUpdate(window, files, runLog), UpdateOutcome::Updated);
    Log twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(log, twice);
}

// The folders are the system's: one on 32-bit Windows, another drive where
// Windows is installed there; the text names the path actually replaced.
TEST(Update, LooksOnlyInTheFoldersTheSystemNames) {
    Log log;
    FakeWindow window(log);
    FakeFiles files(log);
    FakeLog runLog;
    files.programFiles = {L"D:\\Programme"};
    files.answers = {{L"D:\\Programme\\Zimlex\\*.*", L"Zimlex.exe"}, {kSecondPattern, L"b"}};

    EXPECT_EQ(RunUpdate(window, files, runLog), UpdateOutcome::Updated);
    EXPECT_EQ(log, (Log{L"yield", Probe(L"D:\\Programme\\Zimlex\\*.*"),
                        CopyTo(L"D:\\Programme\\Zimlex\\Zimlex.exe"),
                        Status(L"D:\\Programme\\Zimlex\\Zimlex.exe UPDATED")}));
}

TEST(Update, FoldersThatCannotBeNamedAreAFailure) {
    for (const bool tooLong : {false, true}) {
        Log log;
        FakeWindow window(log);
        FakeFiles files(log);
        FakeLog runLog;
        files.answers = {{kSecondPattern, L"b"}};
        if (tooLong) {
            // Room for the folder, none for what goes below it.
            files.programFiles = {std::wstring(FolderPath::kCapacity - 5, L'x')};
        } else {
            files.lookUpFolders = false;
        }
        EXPECT_EQ(RunUpdate(window, files, runLog), UpdateOutcome::Failed) << tooLong;
        EXPECT_EQ(log, (Log{L"yield", Status(kFailure)})) << tooLong;
    }
}

// What a person reads on a failed machine: each folder probed and what was
// found there, every status text, and why nothing changed.
TEST(Update, LogsEachProbeAndEveryStatusText) {
    Log log;
    FakeWindow window(log);
    FakeFiles files(log);
    FakeLog runLog;
    files.answers = {{kFirstPattern, L"Zimlex.exe"}, {kSecondPattern, L"b"}};
    files.failingCopies = {kSecondExe};
    EXPECT_EQ(RunUpdate(window, files, runLog), UpdateOutcome::Failed);
    EXPECT_EQ(runLog.lines,
              (Log{L"probe " + kFirstPattern + L": found Zimlex.exe", L"status: " + kFirstUpdated,
                   L"probe " + kSecondPattern + L": found b", L"status: " + kFailure}));

    FakeLog nothing;
    files.answers.clear();
    EXPECT_EQ(RunUpdate(window, files, nothing), UpdateOutcome::NothingFound);
    EXPECT_EQ(nothing.lines, (Log{L"probe " + kFirstPattern + L": no ordinary file, not installed",
                                  L"probe " + kSecondPattern + L": no ordinary file, not installed",
                                  L"no installation found: nothing to update"}));
}

TEST(TrimSpaces, RemovesOnlyLeadingAndTrailingSpaces) {
    EXPECT_EQ(TrimSpaces(L""), L"");
    EXPECT_EQ(TrimSpaces(L"    "), L"");
    EXPECT_EQ(TrimSpaces(L"  a b  "), L"a b");
    EXPECT_EQ(TrimSpaces(L"\ta\t"), L"\ta\t");
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
