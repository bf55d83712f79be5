#pragma once

#include "FixedText.h"

#include <string_view>

// "; held by <name> (process <id>, session <n>), ...": who holds a file, as
// far as the system's Restart Manager can tell; empty where it cannot.
using HolderNames = FixedText<1024>;
[[nodiscard]] HolderNames HoldersOf(std::wstring_view file);

// Whether a program runs from `file` or holds it, where a step on it failed
// with another error than a sharing violation: the Restart Manager names a
// holder, or the system refuses to open it for writing as shared. A file that
// is only read-only or denied to the updater is not held.
[[nodiscard]] bool IsHeld(std::wstring_view file);
