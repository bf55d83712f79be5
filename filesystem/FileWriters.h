#pragma once

#include "Handles.h"
#include "Result.h"

#include <windows.h>

// The parts `what` of `file`'s security descriptor, owned by `descriptor`.
[[nodiscard]] Result ReadSecurity(HANDLE file, SECURITY_INFORMATION what,
                                  UniqueLocalMemory& descriptor);

// Whether a file with this descriptor can only have been prepared, and can
// only be changed, by administrators or the system: one of them owns it, and
// it lets nobody else write to it or change who may.
[[nodiscard]] Result OnlyAdministratorsMayWrite(PSECURITY_DESCRIPTOR descriptor);

// Whether a file with this descriptor is owned by administrators, the system,
// or whoever owns the files this elevated run makes (`ours`, a descriptor of
// one of them): what a program of a standard user made is that user's.
[[nodiscard]] Result OwnedLikeThisRunsFiles(PSECURITY_DESCRIPTOR descriptor,
                                            PSECURITY_DESCRIPTOR ours);

// The security of a new file that nobody but administrators and the system
// may open, not even to read it or lock a range of it.
class AdministratorsOnly {
public:
    [[nodiscard]] Result Make();
    [[nodiscard]] SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

private:
    UniqueLocalMemory descriptor_;
    SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};
