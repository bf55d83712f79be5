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
    files.answers = c.answers;
    files.failingCopies = c.failingCopies;
    window.failingTexts = c.failingTexts;

    const UpdateOutcome outcome = RunUpdate(window, files);

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
    files.answers = {{kFirstPattern, L"a"}, {kSecondPattern, L"b"}};
    window.endInYield = true;

    EXPECT_THROW(static_cast<void>(RunUpdate(window, files)), ProgramEnded);
    EXPECT_EQ(log, Log{L"yield"});
}

TEST(Update, RunningAgainStartsOver) {
    Log log;
    FakeWindow window(log);
    FakeFiles files(log);
    files.answers = {{kFirstPattern, L"a"}};

    EXPECT_EQ(RunUpdate(window, files), UpdateOutcome::Updated);
    const Log once = log;
    EXPECT_EQ(RunUpdate(window, files), UpdateOutcome::Updated);
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
    files.programFiles = {L"D:\\Programme"};
    files.answers = {{L"D:\\Programme\\Zimlex\\*.*", L"Zimlex.exe"}, {kSecondPattern, L"b"}};

    EXPECT_EQ(RunUpdate(window, files), UpdateOutcome::Updated);
    EXPECT_EQ(log, (Log{L"yield", Probe(L"D:\\Programme\\Zimlex\\*.*"),
                        CopyTo(L"D:\\Programme\\Zimlex\\Zimlex.exe"),
                        Status(L"D:\\Programme\\Zimlex\\Zimlex.exe UPDATED")}));
}

TEST(Update, FoldersThatCannotBeNamedAreAFailure) {
    for (const bool tooLong : {false, true}) {
        Log log;
        FakeWindow window(log);
        FakeFiles files(log);
        files.answers = {{kSecondPattern, L"b"}};
        if (tooLong) {
            // Room for the folder, none for what goes below it.
            files.programFiles = {std::wstring(FolderPath::kCapacity - 5, L'x')};
        } else {
            files.lookUpFolders = false;
        }
        EXPECT_EQ(RunUpdate(window, files), UpdateOutcome::Failed) << tooLong;
        EXPECT_EQ(log, (Log{L"yield", Status(kFailure)})) << tooLong;
    }
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

} // namespace
