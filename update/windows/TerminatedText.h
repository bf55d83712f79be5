#pragma once

#include "FixedText.h"

#include <windows.h>

// A path as the system's functions take it: at most MAX_PATH with its zero.
using TerminatedText = FixedText<MAX_PATH - 1>;
