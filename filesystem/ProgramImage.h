#pragma once

#include "FixedText.h"
#include "Result.h"

#include <windows.h>

// What a program's version resource says of it.
struct ProgramVersion {
    VS_FIXEDFILEINFO fixed{};
    // The OriginalFilename its string tables give; empty where none gives
    // one, or where two disagree.
    FileName originalFilename;
};

// A program's version resource, read through an open handle from the file's
// bytes: a refusal for anything but an executable for x86 or x64 that carries
// one. Nothing of it is loaded, let alone run.
[[nodiscard]] Result ReadProgramVersion(HANDLE file, ProgramVersion& version);

// "1.2.3.4" from a version's two halves.
class DottedVersion {
public:
    DottedVersion(DWORD high, DWORD low);
    [[nodiscard]] const wchar_t* CStr() const { return text_.CStr(); }

private:
    // "65535.65535.65535.65535" at the longest.
    FixedText<23> text_;
};
