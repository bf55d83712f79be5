#include "FileWriters.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

[[nodiscard]] bool IsAdministratorsOrSystem(PSID sid) {
    return IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           IsWellKnownSid(sid, WinLocalSystemSid);
}

} // namespace

Result ReadSecurity(HANDLE file, SECURITY_INFORMATION what, UniqueLocalMemory& descriptor) {
    const DWORD status = GetSecurityInfo(file, SE_FILE_OBJECT, what, nullptr, nullptr, nullptr,
                                         nullptr, descriptor.Put());
    return status == ERROR_SUCCESS ? Result() : Result(status);
}

Result OnlyAdministratorsMayWrite(PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
        return Result(GetLastError());
    }
    const auto trusted = [](PSID sid) {
        return IsAdministratorsOrSystem(sid) || IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
    };
    if (owner == nullptr || !trusted(owner)) {
        return Result(ERROR_INVALID_OWNER);
    }
    // No DACL at all lets everybody do everything.
    if (!present || dacl == nullptr) {
        return Result(ERROR_INVALID_SECURITY_DESCR);
    }
    constexpr DWORD kWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER |
                              DELETE | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
            return Result(GetLastError());
        }
        // Denials only take away; entries only for what is created inside do not apply.
        const BYTE type = ace->Header.AceType;
        if (type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
            type == SYSTEM_AUDIT_ACE_TYPE || (ace->Header.AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue;
        }
        const bool sameLayout =
            type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        if (!sameLayout || ((ace->Mask & kWrites) != 0 && !trusted(&ace->SidStart))) {
            return Result(ERROR_ACCESS_DENIED);
        }
    }
    return {};
}

Result OwnedLikeThisRunsFiles(PSECURITY_DESCRIPTOR descriptor, PSECURITY_DESCRIPTOR ours) {
    PSID owner = nullptr;
    PSID runOwner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorOwner(ours, &runOwner, &defaulted)) {
        return Result(GetLastError());
    }
    const bool trusted = owner != nullptr && (IsAdministratorsOrSystem(owner) ||
                                              (runOwner != nullptr && EqualSid(owner, runOwner)));
    return trusted ? Result() : Result(ERROR_INVALID_OWNER);
}

Result AdministratorsOnly::Make() {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, descriptor_.Put(), nullptr)) {
        return Result(GetLastError(), {L"making a descriptor for administrators alone"});
    }
    attributes_.lpSecurityDescriptor = descriptor_.Get();
    return {};
}
