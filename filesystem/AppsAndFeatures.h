#pragma once

#include "UpdateProcedure.h"

#include <windows.h>

// Brings the Apps & Features entries of the installation whose executable is
// `executable` up to the version it now holds, read through `file`, which is
// open on it for reading, in both registry views: those
// whose InstallLocation is its folder or whose DisplayIcon is the executable
// itself. Only administrators can write these keys, and only what they hold
// decides which entry is written. Never fails the update: what could not be
// done is logged.
void RecordInstalledVersion(HANDLE file, const PathText& executable, UpdateLog& log);
