#pragma once

#include "Handles.h"
#include "UpdateProcedure.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <winver.h>
#include <wintrust.h>

// Decides which payloads may be installed. A build made without a pinned
// publisher installs any payload, as the updater always has. A build that
// pins its publisher's certificates installs only programs for x86 or x64
// with a version resource, whose Authenticode signature verifies and whose
// signer's public key is a pinned one, and never a lower file version than
// the one installed, so a file planted in a user-writable download folder
// cannot reach Program Files with administrator rights. What is checked is
// each staged copy, through the handle that holds it unshared: the download
// is only ever a source of bytes.
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
    };

    PublisherCheck() = default;
    explicit PublisherCheck(const Functions& functions) : call_(functions) {}

    [[nodiscard]] static bool Pinned();

    // Loads what the checks need, from System32 only.
    [[nodiscard]] Result Prepare();
    // Whether the staged copy may replace `installed`: it is checked through
    // `staged`, opened for reading, and `stagedPath` only names it. An
    // installed file without a version resource takes any version.
    [[nodiscard]] Result AcceptsStaged(HANDLE staged, const wchar_t* stagedPath,
                                       const wchar_t* installed, UpdateLog& log) const;
    // Accepts a verified signature's first signer only when its key is a
    // pinned one and not known to be revoked; no signer is a refusal.
    [[nodiscard]] Result AcceptsSigner(const CRYPT_PROVIDER_SGNR* signer, UpdateLog& log) const;

private:
    [[nodiscard]] Result VerifySignature(HANDLE file, const wchar_t* path, UpdateLog& log) const;

    UniqueModule wintrust_;
    UniqueModule crypt32_;
    Functions call_;
};
