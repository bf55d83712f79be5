#pragma once

#include "FixedText.h"

#include <string_view>

// "; held by <name> (process <id>, session <n>), ...": who holds a file, as
// far as the system's Restart Manager can tell; empty where it cannot.
using HolderNames = FixedText<1024>;
[[nodiscard]] HolderNames HoldersOf(std::wstring_view file);
