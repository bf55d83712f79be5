#pragma once

#include "UpdateProcedure.h"

// The system's Program Files folders, the 32-bit one first, from the registry,
// which only administrators can change, unlike the environment, which
// whoever starts the program sets.
[[nodiscard]] Result LookUpProgramFiles(ProgramFilesFolders& folders, UpdateLog& log);
