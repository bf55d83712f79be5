#include "PublisherCheck.h"

#include "FileIdentity.h"
#include "Paths.h"
#include "ProgramImage.h"
#include "SystemProcedure.h"
#include "PublisherPins.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace {

using PinnedKey = std::array<unsigned char, 32>;

// The pins as the build stores them, behind a marker, so that scripts/sign
// can tell which publishers a build trusts before it signs it.
struct PinTable {
    // cppcheck-suppress unusedStructMember
    char marker[16];
    std::uint32_t count;
    std::array<PinnedKey, kPinnedKeyCount> keys;
};
constexpr PinTable kPinTable{"ZimlexPins:v1", kPinnedKeyCount, kPinnedKeys};
// Read through a volatile pointer, so the table stays in the program whole,
// also where it pins nothing.
const PinTable* volatile pinTable = &kPinTable;

[[nodiscard]] bool IsPinned(const PinnedKey& key) {
    const PinTable& pins = *pinTable;
    for (std::uint32_t i = 0; i < pins.count; ++i) {
        if (std::memcmp(pins.keys.data()[i].data(), key.data(), key.size()) == 0) {
            return true;
        }
    }
    return false;
}

// Files that are no program, or one without a version resource, answer
// these; they are never compared.
[[nodiscard]] bool MeansNoVersion(DWORD error) {
    return error == ERROR_RESOURCE_DATA_NOT_FOUND || error == ERROR_RESOURCE_TYPE_NOT_FOUND ||
           error == ERROR_RESOURCE_NAME_NOT_FOUND || error == ERROR_BAD_EXE_FORMAT ||
           error == ERROR_INVALID_EXE_SIGNATURE || error == ERROR_BAD_FORMAT ||
           error == ERROR_FILE_INVALID || error == ERROR_FILE_NOT_FOUND;
}

// A file without a version resource, or no program at all, has none, and
// is never compared.
[[nodiscard]] Result InstalledVersion(const wchar_t* path, VS_FIXEDFILEINFO& version, bool& found) {
    const UniqueFile file = OpenToRead(path);
    ProgramVersion program;
    Result read = file ? ReadProgramVersion(file.Get(), program) : Result(GetLastError());
    found = static_cast<bool>(read);
    version = program.fixed;
    return read || MeansNoVersion(read.Error()) ? Result() : read;
}

[[nodiscard]] ULONGLONG FileVersionOf(const VS_FIXEDFILEINFO& version) {
    return (static_cast<ULONGLONG>(version.dwFileVersionMS) << 32U) | version.dwFileVersionLS;
}

} // namespace

bool PublisherCheck::Pinned() {
    return pinTable->count != 0;
}

Result PublisherCheck::Prepare() {
    if (!Pinned() || wintrust_) {
        return {};
    }
    // None is a KnownDLL: each comes from System32 only, never from beside the
    // updater. Nothing of ADVAPI32's CryptoAPI is used: it is forwarded to
    // CRYPTSP.dll, which the loader would look for there first.
    for (auto [module, name] :
         {std::pair{&wintrust_, L"wintrust.dll"}, std::pair{&crypt32_, L"crypt32.dll"}}) {
        *module = LoadSystemLibrary(name);
        if (!*module) {
            return Result(GetLastError(), {L"loading ", name});
        }
    }
    const auto lookUp = [](auto& function, const UniqueModule& module, const char* name) {
        function = LookUpProcedure<std::remove_reference_t<decltype(function)>>(module.Get(), name);
        return function != nullptr;
    };
    if (!lookUp(call_.verify, wintrust_, "WinVerifyTrust") ||
        !lookUp(call_.providerData, wintrust_, "WTHelperProvDataFromStateData") ||
        !lookUp(call_.signer, wintrust_, "WTHelperGetProvSignerFromChain") ||
        !lookUp(call_.hashPublicKey, crypt32_, "CryptHashPublicKeyInfo") ||
        !lookUp(call_.verifyRevocation, crypt32_, "CertVerifyRevocation") ||
        !lookUp(call_.nameOf, crypt32_, "CertGetNameStringW")) {
        return Result(ERROR_PROC_NOT_FOUND, {L"looking up the functions of the payload's checks"});
    }
    return {};
}

Result PublisherCheck::VerifySignature(HANDLE file, const wchar_t* path, UpdateLog& log) const {
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;
    WINTRUST_DATA trust{};
    trust.cbStruct = sizeof(trust);
    trust.dwUIChoice = WTD_UI_NONE;
    // Revocation is asked of the system's cache below; the updater never goes
    // to the network, so it works offline and never waits for a proxy.
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const auto noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);

    const LONG verified = call_.verify(noWindow, &action, &trust);
    Result accepted(static_cast<DWORD>(verified), {L"the signature of ", path});
    if (verified == ERROR_SUCCESS) {
        CRYPT_PROVIDER_DATA* provider = call_.providerData(trust.hWVTStateData);
        accepted =
            AcceptsSigner(provider != nullptr ? call_.signer(provider, 0, FALSE, 0) : nullptr, log);
    }
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    call_.verify(noWindow, &action, &trust);
    return accepted;
}

Result PublisherCheck::AcceptsSigner(const CRYPT_PROVIDER_SGNR* signer, UpdateLog& log) const {
    if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr ||
        signer->pasCertChain[0].pCert == nullptr) {
        return Result(static_cast<DWORD>(TRUST_E_NO_SIGNER_CERT),
                      {L"the signature names no signer"});
    }
    PCCERT_CONTEXT certificate = signer->pasCertChain[0].pCert;
    std::array<wchar_t, 256> name{};
    call_.nameOf(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(),
                 static_cast<DWORD>(name.size()));
    log.Step({L"the signature verifies; signed by ", name.data()});
    // The key, not the name: anyone can make a certificate with the vendor's name.
    PinnedKey key{};
    DWORD size = key.size();
    // No provider: the system hashes with its own.
    if (!call_.hashPublicKey(0, CALG_SHA_256, 0, X509_ASN_ENCODING,
                             &certificate->pCertInfo->SubjectPublicKeyInfo, key.data(), &size) ||
        size != key.size()) {
        const DWORD error = GetLastError();
        // A hash that did not come out is a refusal, whatever the error says.
        return Result(error != ERROR_SUCCESS ? error : static_cast<DWORD>(NTE_BAD_HASH),
                      {L"hashing the signer's public key"});
    }
    if (!IsPinned(key)) {
        return Result(static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED),
                      {L"the signer's key is not one that this build pins"});
    }

    // Only what the system already knows: a revocation it has cached refuses,
    // an unknown status does not.
    CERT_REVOCATION_PARA para{};
    para.cbSize = sizeof(para);
    if (signer->csCertChain > 1) {
        para.pIssuerCert = signer->pasCertChain[1].pCert;
    }
    CERT_REVOCATION_STATUS status{};
    status.cbSize = sizeof(status);
    void* context = const_cast<CERT_CONTEXT*>(certificate);
    log.Step({L"the signer's key is a pinned one"});
    if (!call_.verifyRevocation(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                CERT_CONTEXT_REVOCATION_TYPE, 1, &context,
                                CERT_VERIFY_CACHE_ONLY_BASED_REVOCATION, &para, &status)) {
        if (status.dwError == static_cast<DWORD>(CRYPT_E_REVOKED)) {
            return Result(static_cast<DWORD>(CERT_E_REVOKED),
                          {L"the signer's certificate is revoked"});
        }
        log.Failure(Result(status.dwError, {L"no revocation status of the signer's certificate is "
                                            L"known offline; not refused"}));
    }
    return {};
}

Result PublisherCheck::AcceptsStaged(HANDLE staged, const wchar_t* stagedPath,
                                     const wchar_t* installed, UpdateLog& log) const {
    if (!Pinned()) {
        return {};
    }
    log.Step({L"checking the staged copy ", stagedPath});
    if (Result verified = VerifySignature(staged, stagedPath, log); !verified) {
        return verified;
    }
    ProgramVersion program;
    if (Result read = ReadProgramVersion(staged, program); !read) {
        return read.In({L"the staged copy is no program for x86 or x64 with a version resource"});
    }
    // The publisher signs other programs too, this updater among them: only
    // one that calls itself by the installed file's name may replace it.
    const std::wstring_view name = program.originalFilename.View();
    const std::wstring_view installedName = NameOf(installed);
    log.Step({L"the staged copy's version resource names it ",
              name.empty() ? L"nothing (no OriginalFilename, or two)" : name});
    if (CompareStringOrdinal(name.data(), static_cast<int>(name.size()), installedName.data(),
                             static_cast<int>(installedName.size()), TRUE) != CSTR_EQUAL) {
        return Result(ERROR_PATCH_TARGET_NOT_FOUND,
                      {L"the staged copy is another program than ", installedName});
    }
    const VS_FIXEDFILEINFO& ours = program.fixed;
    VS_FIXEDFILEINFO theirs{};
    bool versioned = false;
    if (Result read = InstalledVersion(installed, theirs, versioned); !read) {
        return read.In({L"reading the file version of ", installed});
    }
    log.Step({L"file versions: the staged copy's ",
              DottedVersion(ours.dwFileVersionMS, ours.dwFileVersionLS).CStr(), L", installed ",
              versioned ? DottedVersion(theirs.dwFileVersionMS, theirs.dwFileVersionLS).CStr()
                        : L"none (no version resource)"});
    // An equal version is a reinstall.
    if (versioned && FileVersionOf(ours) < FileVersionOf(theirs)) {
        return Result(ERROR_INSTALL_PACKAGE_DOWNGRADE,
                      {L"the payload is older than the installed ", installed});
    }
    return {};
}
