#include "FileSystemFixture.h"
#include "FileWriters.h"

#include <algorithm>
#include <array>
#include <sddl.h>

namespace {

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

    // A second run appends to a log that begins with the updater's line: only
    // who owns it can still refuse it, and Wine shows every file as its user's.
    FileLog again;
    const Result reopened = again.Open((root_ / L"new.log").c_str());
    EXPECT_TRUE(reopened || reopened.Error() == ERROR_INVALID_OWNER) << reopened.Error();
    FileLog other;
    EXPECT_EQ(other.Open((root_ / L"other.log").c_str()).Error(), ERROR_INVALID_DATA)
        << "a log without the updater's first line is refused for that, whoever owns it";
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

} // namespace
