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
    [[nodiscard]] static bool Pinned();

    // Loads what the checks need, from System32 only.
    [[nodiscard]] bool Prepare();
    // Verifies the payload through the handle it is copied from, so the
    // checked bytes are the copied bytes. Sets the error when it refuses.
    [[nodiscard]] bool Accepts(HANDLE payload, const wchar_t* payloadPath, FileLog& log) const;
    // Whether the payload's file version is not lower than the installed
    // executable's; a file without a version resource is never compared.
    [[nodiscard]] bool AllowsOver(const wchar_t* payloadPath, const wchar_t* installed,
                                  FileLog& log) const;

private:
    enum class Version { Found, None, Failed };
    [[nodiscard]] Version FileVersion(const wchar_t* path, ULONGLONG& version) const;
    // ERROR_SUCCESS when the signer's key is a pinned one and not known to be
    // revoked; otherwise the refusal's own error, never ERROR_SUCCESS. A
    // signature without a signer is refused.
    [[nodiscard]] DWORD SignerRefusal(const CRYPT_PROVIDER_SGNR* signer, FileLog& log) const;

    UniqueModule wintrust_;
    UniqueModule crypt32_;
    UniqueModule versionDll_;
    UniqueCryptProvider provider_;
    decltype(&WinVerifyTrust) verify_ = nullptr;
    decltype(&WTHelperProvDataFromStateData) providerData_ = nullptr;
    decltype(&WTHelperGetProvSignerFromChain) signer_ = nullptr;
    decltype(&CryptHashPublicKeyInfo) hashPublicKey_ = nullptr;
    decltype(&CertVerifyRevocation) verifyRevocation_ = nullptr;
    decltype(&CertGetNameStringW) nameOf_ = nullptr;
    decltype(&GetFileVersionInfoSizeW) versionSize_ = nullptr;
    decltype(&GetFileVersionInfoW) versionInfo_ = nullptr;
    decltype(&VerQueryValueW) queryValue_ = nullptr;
};
