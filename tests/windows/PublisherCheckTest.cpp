#include "FileSystemFixture.h"
#include "FileIdentity.h"
#include "ProgramImage.h"
#include "PublisherCheck.h"

#include <cstring>
#include <string_view>

namespace {

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
