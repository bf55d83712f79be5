#pragma once

#include "Handles.h"
#include "UpdateProcedure.h"
#include "Waits.h"

#include <windows.h>

#include <string_view>

// The new executable in the download folder, opened once for the whole run,
// and only ever read at explicit offsets, so that no reader of it decides
// where another starts. It is a source of bytes: what is checked is the copy.
class Payload {
public:
    // Shared for reading only, never through a link, and never empty.
    [[nodiscard]] Result Open(std::wstring_view source, UpdateLog& log);
    // Whether the file open as `installed` holds exactly these bytes; a
    // failure when either could not be read.
    [[nodiscard]] Result Compare(HANDLE installed, bool& same, Waits& waits) const;
    // Every byte into `output`, flushed, with the payload's modification time.
    [[nodiscard]] Result CopyTo(HANDLE output, Waits& waits) const;

    // For the log, and for the version resource, which is read by name; the
    // name comes from the open handle, which keeps it from changing.
    [[nodiscard]] const wchar_t* Path() const { return path_.CStr(); }
    [[nodiscard]] LONGLONG Size() const { return size_.QuadPart; }

private:
    UniqueFile file_;
    // Room for a block of the payload and one of the installed file.
    UniqueVirtualMemory blocks_;
    PathText path_;
    LARGE_INTEGER size_{};
    FILETIME writeTime_{};
};
