#include "FileSystemFixture.h"

namespace {

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

} // namespace
