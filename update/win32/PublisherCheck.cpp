#include "PublisherCheck.h"

#include "Procedure.h"

#include <softpub.h>

#include <algorithm>
#include <cstring>

namespace {

// Signing adds a certificate table to the image; its entry in the mapped
// headers tells without reading the file or loading anything.
[[nodiscard]] bool CarriesSignature() {
    const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size != 0;
}

} // namespace

bool PublisherCheck::Prepare() {
    signedUpdater_ = CarriesSignature();
    if (!signedUpdater_) {
        return true;
    }
    // Not a KnownDLL: loaded from System32 only, never from beside the updater.
    wintrust_.Reset(LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!wintrust_) {
        return false;
    }
    verify_ = LookUpProcedure<VerifyFunction>(wintrust_.Get(), "WinVerifyTrust");
    providerData_ =
        LookUpProcedure<ProviderDataFunction>(wintrust_.Get(), "WTHelperProvDataFromStateData");
    signer_ = LookUpProcedure<SignerFunction>(wintrust_.Get(), "WTHelperGetProvSignerFromChain");
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    return verify_ != nullptr && providerData_ != nullptr && signer_ != nullptr && length != 0 &&
           length < MAX_PATH && SignerOf(self, nullptr, publisher_);
}

bool PublisherCheck::Accepts(HANDLE payload, const wchar_t* payloadPath) const {
    if (!signedUpdater_) {
        return true;
    }
    // The same subject names the same publisher, also on a renewed certificate.
    Subject signer;
    return SignerOf(payloadPath, payload, signer) && signer.size == publisher_.size &&
           std::equal(signer.bytes.begin(), signer.bytes.begin() + signer.size,
                      publisher_.bytes.begin());
}

bool PublisherCheck::SignerOf(const wchar_t* path, HANDLE file, Subject& signer) const {
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;
    WINTRUST_DATA trust{};
    trust.cbStruct = sizeof(trust);
    trust.dwUIChoice = WTD_UI_NONE;
    // No network round trips: the updater may run offline.
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const auto noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);

    bool named = false;
    if (verify_(noWindow, &action, &trust) == ERROR_SUCCESS) {
        CRYPT_PROVIDER_DATA* provider = providerData_(trust.hWVTStateData);
        const CRYPT_PROVIDER_SGNR* first =
            provider != nullptr ? signer_(provider, 0, FALSE, 0) : nullptr;
        if (first != nullptr && first->csCertChain > 0 && first->pasCertChain != nullptr &&
            first->pasCertChain[0].pCert != nullptr) {
            const CERT_NAME_BLOB& subject = first->pasCertChain[0].pCert->pCertInfo->Subject;
            if (subject.cbData <= signer.bytes.size()) {
                std::memcpy(signer.bytes.data(), subject.pbData, subject.cbData);
                signer.size = subject.cbData;
                named = true;
            }
        }
    }
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    verify_(noWindow, &action, &trust);
    return named;
}
