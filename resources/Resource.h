#pragma once

// Shared by the resource script and the program so both name the same entries.
#define IDI_ZIMLEX 1
#define IDR_OK_PICTURE 101
