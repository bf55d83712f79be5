#pragma once

#include "Handles.h"
#include "Result.h"

#include <windows.h>

// Whether a file with this descriptor can only have been prepared, and can
// only be changed, by administrators or the system: one of them owns it, and
// it lets nobody else write to it or change who may.
[[nodiscard]] Result OnlyAdministratorsMayWrite(PSECURITY_DESCRIPTOR descriptor);

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
