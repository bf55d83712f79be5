#include "PublisherCheck.h"

#include "Procedure.h"
#include "PublisherPins.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>

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

// Files without a version resource answer these; they are never compared.
[[nodiscard]] bool MeansNoVersion(DWORD error) {
    return error == ERROR_RESOURCE_DATA_NOT_FOUND || error == ERROR_RESOURCE_TYPE_NOT_FOUND ||
           error == ERROR_RESOURCE_NAME_NOT_FOUND || error == ERROR_BAD_EXE_FORMAT ||
           error == ERROR_BAD_FORMAT || error == ERROR_FILE_NOT_FOUND;
}

// "1.2.3.4", or what stands in for a version where there is none.
class VersionText {
public:
    template <typename Found> VersionText(Found found, ULONGLONG version) {
        if (found != Found::Found) {
            static_cast<void>(text_.Assign(L"none (no version resource)"));
            return;
        }
        for (int shift = 48; shift >= 0; shift -= 16) {
            static_cast<void>(text_.Append(NumberText((version >> shift) & 0xFFFFU).View()));
            static_cast<void>(text_.Append(shift > 0 ? L"." : L""));
        }
    }
    [[nodiscard]] std::wstring_view View() const { return text_.View(); }

private:
    FixedText<32> text_;
};

} // namespace

bool PublisherCheck::Pinned() {
    return pinTable->count != 0;
}

bool PublisherCheck::Prepare() {
    if (!Pinned() || wintrust_) {
        return true;
    }
    // None is a KnownDLL: each comes from System32 only, never from beside the updater.
    wintrust_.Reset(LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    crypt32_.Reset(LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    versionDll_.Reset(LoadLibraryExW(L"version.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    HCRYPTPROV provider = 0;
    if (!wintrust_ || !crypt32_ || !versionDll_ ||
        !CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        return false;
    }
    provider_.Reset(provider);
    const auto lookUp = [](auto& function, const UniqueModule& module, const char* name) {
        function = LookUpProcedure<std::remove_reference_t<decltype(function)>>(module.Get(), name);
        return function != nullptr;
    };
    if (!lookUp(verify_, wintrust_, "WinVerifyTrust") ||
        !lookUp(providerData_, wintrust_, "WTHelperProvDataFromStateData") ||
        !lookUp(signer_, wintrust_, "WTHelperGetProvSignerFromChain") ||
        !lookUp(hashPublicKey_, crypt32_, "CryptHashPublicKeyInfo") ||
        !lookUp(verifyRevocation_, crypt32_, "CertVerifyRevocation") ||
        !lookUp(nameOf_, crypt32_, "CertGetNameStringW") ||
        !lookUp(versionSize_, versionDll_, "GetFileVersionInfoSizeW") ||
        !lookUp(versionInfo_, versionDll_, "GetFileVersionInfoW") ||
        !lookUp(queryValue_, versionDll_, "VerQueryValueW")) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    return true;
}

bool PublisherCheck::Accepts(HANDLE payload, const wchar_t* payloadPath, FileLog& log) const {
    if (!Pinned()) {
        log.Step({L"no publisher pinned in this build: any payload is installed"});
        return true;
    }
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = payloadPath;
    fileInfo.hFile = payload;
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

    const LONG verified = verify_(noWindow, &action, &trust);
    // Each refusal below has an error of its own: the thread's last error,
    // which whatever ran in between may have cleared, never decides.
    auto error = static_cast<DWORD>(verified);
    if (verified == ERROR_SUCCESS) {
        CRYPT_PROVIDER_DATA* provider = providerData_(trust.hWVTStateData);
        const CRYPT_PROVIDER_SGNR* first =
            provider != nullptr ? signer_(provider, 0, FALSE, 0) : nullptr;
        error = SignerRefusal(first, log);
    }
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    verify_(noWindow, &action, &trust);
    if (verified != ERROR_SUCCESS) {
        log.Failure({L"the payload's signature"}, error);
    }
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

DWORD PublisherCheck::SignerRefusal(const CRYPT_PROVIDER_SGNR* signer, FileLog& log) const {
    if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr ||
        signer->pasCertChain[0].pCert == nullptr) {
        log.Failure({L"the payload's signature names no signer"},
                    static_cast<DWORD>(TRUST_E_NO_SIGNER_CERT));
        return static_cast<DWORD>(TRUST_E_NO_SIGNER_CERT);
    }
    PCCERT_CONTEXT certificate = signer->pasCertChain[0].pCert;
    std::array<wchar_t, 256> name{};
    nameOf_(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(),
            static_cast<DWORD>(name.size()));
    log.Step({L"the payload's signature verifies; signed by ", name.data()});
    // The key, not the name: anyone can make a certificate with the vendor's name.
    PinnedKey key{};
    DWORD size = key.size();
    if (!hashPublicKey_(provider_.Get(), CALG_SHA_256, 0, X509_ASN_ENCODING,
                        &certificate->pCertInfo->SubjectPublicKeyInfo, key.data(), &size) ||
        size != key.size()) {
        const DWORD error = GetLastError();
        // A hash that did not come out is a refusal, whatever the error says.
        log.Failure({L"hashing the signer's public key"}, error);
        return error != ERROR_SUCCESS ? error : static_cast<DWORD>(NTE_BAD_HASH);
    }
    const PinTable& pins = *pinTable;
    if (std::find(pins.keys.begin(), pins.keys.begin() + pins.count, key) ==
        pins.keys.begin() + pins.count) {
        log.Failure({L"the signer's key is not one that this build pins"},
                    static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED));
        return static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED);
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
    if (!verifyRevocation_(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, CERT_CONTEXT_REVOCATION_TYPE, 1,
                           &context, CERT_VERIFY_CACHE_ONLY_BASED_REVOCATION, &para, &status)) {
        if (status.dwError == static_cast<DWORD>(CRYPT_E_REVOKED)) {
            log.Failure({L"the signer's certificate is revoked"}, status.dwError);
            return static_cast<DWORD>(CERT_E_REVOKED);
        }
        log.Failure({L"no revocation status of the signer's certificate is known offline; "
                     L"not refused"},
                    status.dwError);
    }
    return ERROR_SUCCESS;
}

bool PublisherCheck::AllowsOver(const wchar_t* payloadPath, const wchar_t* installed,
                                FileLog& log) const {
    if (!Pinned()) {
        return true;
    }
    ULONGLONG payloadVersion = 0;
    ULONGLONG installedVersion = 0;
    const Version payload = FileVersion(payloadPath, payloadVersion);
    if (payload == Version::Failed) {
        log.Failure({L"reading the payload's file version"}, GetLastError());
        return false;
    }
    const Version current = FileVersion(installed, installedVersion);
    if (current == Version::Failed) {
        log.Failure({L"reading the file version of ", installed}, GetLastError());
        return false;
    }
    const VersionText payloadText(payload, payloadVersion);
    const VersionText installedText(current, installedVersion);
    log.Step({L"file versions: the payload's ", payloadText.View(), L", installed ",
              installedText.View()});
    // An equal version is a reinstall.
    if (payload == Version::Found && current == Version::Found &&
        payloadVersion < installedVersion) {
        log.Failure({L"the payload is older than the installed ", installed},
                    ERROR_INSTALL_PACKAGE_DOWNGRADE);
        SetLastError(ERROR_INSTALL_PACKAGE_DOWNGRADE);
        return false;
    }
    return true;
}

PublisherCheck::Version PublisherCheck::FileVersion(const wchar_t* path, ULONGLONG& version) const {
    DWORD ignored = 0;
    const DWORD size = versionSize_(path, &ignored);
    if (size == 0) {
        return MeansNoVersion(GetLastError()) ? Version::None : Version::Failed;
    }
    const UniqueVirtualMemory block(
        VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!block || !versionInfo_(path, 0, size, block.Get()) ||
        !queryValue_(block.Get(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) ||
        fixed == nullptr || fixedSize < sizeof(*fixed)) {
        return Version::Failed;
    }
    version = (static_cast<ULONGLONG>(fixed->dwFileVersionMS) << 32U) | fixed->dwFileVersionLS;
    return Version::Found;
}
