#pragma once

#include "Handles.h"

#include <windows.h>
#include <wintrust.h>

#include <array>

// Decides which payloads may be installed. An unsigned updater installs any
// payload, as it always has; a signed one installs only payloads signed by its
// own publisher, so a file planted in a user-writable download folder cannot
// reach Program Files with administrator rights.
class PublisherCheck {
public:
    // Reads the updater's own signature. False when it carries one that does
    // not verify: such an updater installs nothing.
    [[nodiscard]] bool Prepare();
    // Verifies the payload through the handle it is copied from, so the
    // checked bytes are the copied bytes.
    [[nodiscard]] bool Accepts(HANDLE payload, const wchar_t* payloadPath) const;

private:
    // The signer certificate's subject, as encoded in the certificate.
    struct Subject {
        std::array<BYTE, 1024> bytes{};
        DWORD size = 0;
    };

    [[nodiscard]] bool SignerOf(const wchar_t* path, HANDLE file, Subject& signer) const;

    using VerifyFunction = LONG(WINAPI*)(HWND, GUID*, void*);
    using ProviderDataFunction = CRYPT_PROVIDER_DATA*(WINAPI*)(HANDLE);
    using SignerFunction = CRYPT_PROVIDER_SGNR*(WINAPI*)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);

    bool signedUpdater_ = false;
    Subject publisher_;
    UniqueModule wintrust_;
    VerifyFunction verify_ = nullptr;
    ProviderDataFunction providerData_ = nullptr;
    SignerFunction signer_ = nullptr;
};
