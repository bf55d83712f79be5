#pragma once

#include "FileLog.h"
#include "Handles.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <winver.h>
#include <wintrust.h>

// Decides which payloads may be installed. A build made without a pinned
// publisher installs any payload, as the updater always has. A build that
// pins its publisher's certificates installs only payloads whose Authenticode
// signature verifies and whose signer's public key is a pinned one, and never
// a lower file version than the one installed, so a file planted in a
// user-writable download folder cannot reach Program Files with
// administrator rights.
class PublisherCheck {
public:
    // The system's functions that the checks call: loaded by Prepare, or a
    // test's own.
    struct Functions {
        decltype(&WinVerifyTrust) verify = nullptr;
        decltype(&WTHelperProvDataFromStateData) providerData = nullptr;
        decltype(&WTHelperGetProvSignerFromChain) signer = nullptr;
        decltype(&CryptHashPublicKeyInfo) hashPublicKey = nullptr;
        decltype(&CertVerifyRevocation) verifyRevocation = nullptr;
        decltype(&CertGetNameStringW) nameOf = nullptr;
        decltype(&GetFileVersionInfoSizeW) versionSize = nullptr;
        decltype(&GetFileVersionInfoW) versionInfo = nullptr;
        decltype(&VerQueryValueW) queryValue = nullptr;
    };

    PublisherCheck() = default;
    explicit PublisherCheck(const Functions& functions) : call_(functions) {}

    [[nodiscard]] static bool Pinned();

    // Loads what the checks need, from System32 only.
    [[nodiscard]] Result Prepare();
    // Verifies the payload through the handle it is copied from, so the
    // checked bytes are the copied bytes.
    [[nodiscard]] Result Accepts(HANDLE payload, const wchar_t* payloadPath, FileLog& log) const;
    // Accepts a verified signature's first signer only when its key is a
    // pinned one and not known to be revoked; no signer is a refusal.
    [[nodiscard]] Result AcceptsSigner(const CRYPT_PROVIDER_SGNR* signer, FileLog& log) const;
    // Whether the payload's file version is not lower than the installed
    // executable's; a file without a version resource is never compared.
    [[nodiscard]] Result AllowsOver(const wchar_t* payloadPath, const wchar_t* installed,
                                    FileLog& log) const;

private:
    enum class Version { Found, None };
    [[nodiscard]] Result FileVersion(const wchar_t* path, Version& found, ULONGLONG& version) const;

    UniqueModule wintrust_;
    UniqueModule crypt32_;
    UniqueModule versionDll_;
    UniqueCryptProvider provider_;
    Functions call_;
};
